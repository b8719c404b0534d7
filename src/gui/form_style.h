// The conversion form's look beside the platform style: a focus frame that
// can be seen on buttons and the log, and tick boxes drawn white with a
// black edge so that they stand out on the lime lists.
#pragma once

#include <QAbstractScrollArea>
#include <QEvent>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleOption>
#include <QWidget>

namespace qv::gui {

class FormStyle : public QProxyStyle {
 public:
  static inline const QColor kFocus{0x00, 0x33, 0x99};  // 12.6:1 on white, 7.9:1 on lime

  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget) const override {
    QProxyStyle::drawControl(element, option, painter, widget);
    if (element == CE_PushButton && (option->state & State_HasFocus)) focus_frame(painter, option->rect);
  }

  void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
    if (element == PE_IndicatorItemViewItemCheck) {
      // Drawn as a check box of its own, white with a black mark.
      QStyleOptionButton white;
      white.QStyleOption::operator=(*option);
      white.state &= ~State_MouseOver;
      white.palette.setColor(QPalette::Base, Qt::white);
      white.palette.setColor(QPalette::Window, Qt::white);
      white.palette.setColor(QPalette::Text, Qt::black);
      white.palette.setColor(QPalette::WindowText, Qt::black);
      QProxyStyle::drawPrimitive(PE_IndicatorCheckBox, &white, painter, widget);
      painter->save();
      painter->setPen(QPen(option->state & State_Enabled ? Qt::black : QColor(0x59, 0x59, 0x59), 1));
      painter->setBrush(Qt::NoBrush);
      painter->drawRect(option->rect.adjusted(0, 0, -1, -1));
      painter->restore();
      return;
    }
    QProxyStyle::drawPrimitive(element, option, painter, widget);
    // The log and the lists: their frame shows where the focus is.
    if (element == PE_Frame && widget && widget->hasFocus() && qobject_cast<const QAbstractScrollArea*>(widget))
      focus_frame(painter, widget->rect());
  }

  // Repaints a scroll area's frame when the focus enters or leaves it.
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut)
      if (auto* w = qobject_cast<QWidget*>(watched)) w->update();
    return QProxyStyle::eventFilter(watched, event);
  }

 private:
  static void focus_frame(QPainter* painter, const QRect& r) {
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, false);
    painter->setPen(QPen(kFocus, 2));
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(r.adjusted(1, 1, -1, -1));
    painter->restore();
  }
};

}  // namespace qv::gui
