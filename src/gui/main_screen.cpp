#include "gui/main_screen.h"

#include <QAction>
#include <QGuiApplication>
#include <QLabel>
#include <QLinearGradient>
#include <QMenuBar>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

#include "gui/conversion_dialog.h"

namespace qv::gui {

namespace {

// The picture at the largest size the label gives it, in its own
// proportions, centred.
class AspectPicture : public QLabel {
 public:
  using QLabel::QLabel;

 protected:
  void paintEvent(QPaintEvent*) override {
    const QPixmap pm = pixmap();
    if (pm.isNull()) return;
    const QSizeF shown = pm.deviceIndependentSize().scaled(QSizeF(size()), Qt::KeepAspectRatio);
    const QRectF target(QPointF((width() - shown.width()) / 2, (height() - shown.height()) / 2), shown);
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawPixmap(target, pm, QRectF(pm.rect()));
  }
};

}  // namespace

Tmain_screen::Tmain_screen(MessageBoxes* boxes)
    : show_modal([](ConversionDialog& form) { form.exec(); }), boxes_(boxes) {
  setObjectName("main_screen");
  setWindowTitle(QString());
  setAccessibleName(QStringLiteral("QUORVEL migration"));

  Image1 = new AspectPicture(this);
  Image1->setObjectName("Image1");
  // Drawn for the screen's pixel density, so it stays sharp when scaled.
  const QScreen* screen = QGuiApplication::primaryScreen();
  Image1->setPixmap(main_picture(screen ? screen->devicePixelRatio() : 1.0));
  Image1->setAlignment(Qt::AlignCenter);
  Image1->setAccessibleName(QStringLiteral("QUORVEL picture"));
  Image1->setAccessibleDescription(QStringLiteral("Old tables moving into one new database"));
  // The window may be smaller than the picture on a small screen.
  Image1->setMinimumSize(1, 1);
  Image1->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
  setCentralWidget(Image1);

  Exit1 = menuBar()->addAction("E&xit");
  Exit1->setObjectName("Exit1");
  connect(Exit1, &QAction::triggered, this, &QWidget::close);
  Conversion1 = menuBar()->addAction("&Conversion");
  Conversion1->setObjectName("Conversion1");
  connect(Conversion1, &QAction::triggered, this, [this] { Conversion1Click(); });

  QSize size(542, 286);
  if (screen) size = size.boundedTo(screen->availableGeometry().size() - QSize(16, 40));
  resize(size);
  if (screen) move(screen->availableGeometry().center() - rect().center());
}

void Tmain_screen::Conversion1Click() {
  ConversionDialog form(this, boxes_);
  form.setModal(true);
  show_modal(form);
}

QPixmap main_picture(qreal pixel_ratio) {
  QPixmap pm(QSize(534, 236) * pixel_ratio);
  pm.setDevicePixelRatio(pixel_ratio);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient sky(0, 0, 534, 236);
  sky.setColorAt(0, QColor(18, 40, 84));
  sky.setColorAt(1, QColor(20, 120, 120));
  p.fillRect(QRectF(0, 0, 534, 236), sky);

  // Eighteen small tables on the left ...
  p.setPen(QPen(QColor(230, 240, 255), 1));
  for (int i = 0; i < 18; ++i) {
    const QRectF card(28 + (i % 3) * 34, 40 + (i / 3) * 26, 28, 18);
    p.setBrush(QColor(255, 255, 255, 40 + 8 * i));
    p.drawRect(card);
    p.drawLine(card.topLeft() + QPointF(0, 6), card.topRight() + QPointF(0, 6));
  }
  // ... an arrow ...
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 200, 60));
  QPainterPath arrow;
  arrow.moveTo(150, 106);
  arrow.lineTo(196, 106);
  arrow.lineTo(196, 92);
  arrow.lineTo(226, 118);
  arrow.lineTo(196, 144);
  arrow.lineTo(196, 130);
  arrow.lineTo(150, 130);
  arrow.closeSubpath();
  p.drawPath(arrow);
  // ... and one database.
  p.setPen(QPen(QColor(230, 240, 255), 2));
  p.setBrush(QColor(60, 170, 110));
  p.drawRect(QRectF(246, 64, 70, 100));
  p.drawEllipse(QRectF(246, 150, 70, 26));
  p.setPen(Qt::NoPen);
  p.drawRect(QRectF(247, 66, 68, 96));
  p.setPen(QPen(QColor(230, 240, 255), 2));
  p.drawEllipse(QRectF(246, 52, 70, 26));
  p.drawLine(QPointF(246, 65), QPointF(246, 163));
  p.drawLine(QPointF(316, 65), QPointF(316, 163));

  p.setPen(Qt::white);
  // The word whole in its 196 pixels, whatever the fonts at hand.
  QFont title("Sans Serif", 30, QFont::Bold);
  while (title.pointSize() > 8 && QFontMetrics(title).horizontalAdvance("QUORVEL") > 196)
    title.setPointSize(title.pointSize() - 1);
  p.setFont(title);
  p.drawText(QRectF(330, 60, 200, 50), Qt::AlignLeft | Qt::AlignVCenter, "QUORVEL");
  QFont sub("Sans Serif", 11);
  p.setFont(sub);
  p.drawText(QRectF(332, 110, 200, 60), Qt::AlignLeft | Qt::TextWordWrap,
             "from the second generation\nto the fourth generation");
  p.setFont(QFont("Sans Serif", 8));
  p.setPen(QColor(200, 220, 240));
  p.drawText(QRectF(0, 206, 520, 24), Qt::AlignRight | Qt::AlignVCenter, "Conversion menu: start a migration");
  return pm;
}

}  // namespace qv::gui
