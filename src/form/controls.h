// The conversion form's controls as small models, free of any toolkit: the
// desktop program binds widgets to them, the headless command reads them.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "form/problems.h"

namespace qv {

struct Control {
  bool Enabled = true;
  std::string Caption;
  std::function<void()> on_change;  // enabled flag or caption changed
  void SetEnabled(bool on) {
    Enabled = on;
    if (on_change) on_change();
  }
};

// The directory tree: its directory is a full path, a program path
// ("C:\MyData\..." mapped through the drive root, or a native path).
struct DirectoryOutline : Control {
  std::string Directory;
  std::function<void()> on_directory;
  void SetDirectory(std::string dir) {
    Directory = std::move(dir);
    if (on_directory) on_directory();
  }
};

struct CheckListBox : Control {
  std::vector<std::string> Items;
  std::vector<bool> Checked;
  std::function<void(std::size_t)> on_check;
  void SetChecked(std::size_t i, bool on) {
    Checked.at(i) = on;
    if (on_check) on_check(i);
  }
};

// The status log `Memo1`: one whole line per Add.
struct Memo : Control {
  std::vector<std::string> Lines;
  std::function<void(const std::string&)> on_add;
  std::function<void()> on_clear;
  void Clear() {
    Lines.clear();
    if (on_clear) on_clear();
  }
  void Add(std::string line) {
    Lines.push_back(std::move(line));
    if (on_add) on_add(Lines.back());
  }
};

// The read-only progress box `Edit1`.
struct EditBox : Control {
  std::string Text;
  std::function<void()> on_repaint;
  void SetText(std::string t) { Text = std::move(t); }
  void Refresh() {
    if (on_repaint) on_repaint();
  }
};

struct Button : Control {};
struct Label : Control {};

// Message boxes with an OK button.
class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  virtual void Show(const std::string& text, const std::string& caption) = 0;
  // An error that ended an action; windows mark it with the error icon.
  virtual void ShowError(const std::string& text, const std::string& caption) { Show(text, caption); }
  // An error with its title, what to do and details; windows show the
  // details collapsed.
  virtual void ShowProblem(const Problem& p) { ShowError(p.what, p.title); }
};

}  // namespace qv
