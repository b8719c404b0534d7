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
};

}  // namespace qv::test
