// The main window: a picture and a menu bar whose "Conversion" entry opens
// the conversion form.
#pragma once

#include <functional>

#include <QMainWindow>

#include "form/controls.h"

class QAction;
class QLabel;

namespace qv::gui {

class ConversionDialog;

class Tmain_screen : public QMainWindow {
 public:
  // `boxes` null: the toolkit's message boxes (handed on to every form).
  explicit Tmain_screen(MessageBoxes* boxes = nullptr);

  QLabel* Image1;
  QAction* Exit1;
  QAction* Conversion1;

  // Opens a fresh conversion form, shows it modally and destroys it when it
  // closes.
  void Conversion1Click();

  // How a form is shown modally (tests replace the modal loop).
  std::function<void(ConversionDialog&)> show_modal;

 private:
  MessageBoxes* boxes_;
};

// The main window's picture, 534 by 236 device-independent pixels, drawn
// with `pixel_ratio` device pixels to each.
QPixmap main_picture(qreal pixel_ratio = 1.0);

}  // namespace qv::gui
