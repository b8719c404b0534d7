// Message boxes for programs without windows: each box becomes a
// "CAPTION: text" line, and the boxes shown are counted.
#pragma once

#include <cstdio>
#include <string>

#include "form/controls.h"

namespace qv {

class PrintedBoxes : public MessageBoxes {
 public:
  explicit PrintedBoxes(std::FILE* out) : out_(out) {}
  void Show(const std::string& text, const std::string& caption) override {
    std::fprintf(out_, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(out_);
    ++shown;
  }
  int shown = 0;

 private:
  std::FILE* out_;
};

}  // namespace qv
