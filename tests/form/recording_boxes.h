// Message boxes that are written down instead of shown.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "form/controls.h"

namespace qv::test {

struct RecordingBoxes : MessageBoxes {
  struct Box {
    std::string text, caption;
  };
  std::vector<Box> shown;
  void Show(const std::string& text, const std::string& caption) override { shown.push_back({text, caption}); }
  // A problem is recorded whole, and as a box of its what-line and title.
  std::vector<Problem> problems;
  void ShowProblem(const Problem& p) override {
    problems.push_back(p);
    Show(p.what, p.title);
  }
};

}  // namespace qv::test
