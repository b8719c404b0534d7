#include "gui/conversion_dialog.h"

#include <QDir>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTreeView>

#include <exception>
#include <filesystem>

#include "check/check.h"
#include "gui/lower_case_proxy.h"
#include "gui/qt_boxes.h"
#include "platform/paths.h"

namespace qv::gui {

namespace {

constexpr const char* kLime = "background-color: #00ff00;";

QLabel* step_label(QWidget* parent, const Label& model, const char* name, QRect where) {
  auto* l = new QLabel(QString::fromStdString(model.Caption), parent);
  l->setObjectName(name);
  l->setGeometry(where);
  QFont f = l->font();
  f.setBold(true);
  f.setUnderline(true);
  l->setFont(f);
  l->setStyleSheet("QLabel { color: red; } QLabel:disabled { color: #b0a0a0; }");
  return l;
}

QPushButton* button(QWidget* parent, const Button& model, const char* name, QRect where) {
  auto* b = new QPushButton(QString::fromStdString(model.Caption), parent);
  b->setObjectName(name);
  b->setGeometry(where);
  b->setAutoDefault(false);
  return b;
}

// Lime background, bold text.
void lime(QWidget* w, const char* name, QRect where, int pixel_size = 0) {
  w->setObjectName(name);
  w->setGeometry(where);
  w->setStyleSheet(kLime);
  QFont f = w->font();
  f.setBold(true);
  if (pixel_size) f.setPixelSize(pixel_size);
  w->setFont(f);
}

// The widget follows the control's enabled flag.
void bind_enabled(Control& control, QWidget* w) {
  w->setEnabled(control.Enabled);
  control.on_change = [&control, w] { w->setEnabled(control.Enabled); };
}

}  // namespace

ConversionDialog::ConversionDialog(QWidget* parent, MessageBoxes* boxes, ConversionSteps* steps)
    : QDialog(parent),
      own_boxes_(boxes ? nullptr : std::make_unique<QtBoxes>(this)),
      boxes_(boxes ? boxes : own_boxes_.get()),
      form_(boxes_, {.steps = steps}) {
  setObjectName("conversion_form");
  setWindowTitle(QString());
  setFixedSize(963, 502);
  build_widgets();
  bind();
}

ConversionDialog::~ConversionDialog() {
  // The widgets go after the core form: nothing may reach it from here on.
  for (const QMetaObject::Connection& c : connections_) disconnect(c);
}

void ConversionDialog::build_widgets() {
  Label1 = step_label(this, form_.Label1, "Label1", {8, 6, 285, 18});

  dirs_ = new QFileSystemModel(this);
  dirs_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
  dirs_->setRootPath(QDir::rootPath());
  lower_ = new LowerCaseProxy(this);
  lower_->setSourceModel(dirs_);
  CDirectoryOutline_Source = new QTreeView(this);
  CDirectoryOutline_Source->setModel(lower_);
  for (int column = 1; column < dirs_->columnCount(); ++column) CDirectoryOutline_Source->hideColumn(column);
  CDirectoryOutline_Source->setHeaderHidden(true);
  CDirectoryOutline_Source->sortByColumn(0, Qt::AscendingOrder);
  CDirectoryOutline_Source->setSortingEnabled(true);
  lime(CDirectoryOutline_Source, "CDirectoryOutline_Source", {8, 26, 285, 185});

  btn_select_directory = button(this, form_.btn_select_directory, "btn_select_directory", {8, 217, 190, 25});
  btn_reset = button(this, form_.btn_reset, "btn_reset", {206, 217, 87, 25});

  Label2 = step_label(this, form_.Label2, "Label2", {8, 248, 285, 18});
  files_checklistbox = new QListWidget(this);
  for (const std::string& item : form_.files_checklistbox.Items) {
    auto* it = new QListWidgetItem(QString::fromStdString(item), files_checklistbox);
    it->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    it->setCheckState(Qt::Unchecked);
  }
  lime(files_checklistbox, "files_checklistbox", {8, 268, 285, 185});

  btn_convert = button(this, form_.btn_convert, "btn_convert", {8, 464, 90, 28});
  Edit1 = new QLineEdit(QString::fromStdString(form_.Edit1.Text), this);
  Edit1->setObjectName("Edit1");
  Edit1->setReadOnly(true);
  Edit1->setGeometry(106, 466, 187, 24);
  btn_check = new QPushButton("Check", this);
  btn_check->setObjectName("btn_check");
  btn_check->setGeometry(302, 470, 90, 28);
  btn_check->setAutoDefault(false);

  Label3 = step_label(this, form_.Label3, "Label3", {302, 6, 653, 18});
  Memo1 = new QPlainTextEdit(this);
  Memo1->setReadOnly(true);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  lime(Memo1, "Memo1", {302, 26, 653, 441}, 13);

  for (QLabel* l : {Label1, Label2, Label3}) l->setFocusPolicy(Qt::NoFocus);
  QWidget* order[] = {CDirectoryOutline_Source, files_checklistbox, btn_select_directory, btn_reset, Memo1,
                      btn_convert, Edit1, btn_check};
  for (std::size_t i = 1; i < std::size(order); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
}

void ConversionDialog::bind() {
  bind_enabled(form_.Label1, Label1);
  bind_enabled(form_.CDirectoryOutline_Source, CDirectoryOutline_Source);
  bind_enabled(form_.Label2, Label2);
  bind_enabled(form_.files_checklistbox, files_checklistbox);
  bind_enabled(form_.btn_select_directory, btn_select_directory);
  bind_enabled(form_.btn_reset, btn_reset);
  bind_enabled(form_.Memo1, Memo1);
  bind_enabled(form_.Label3, Label3);
  bind_enabled(form_.btn_convert, btn_convert);
  bind_enabled(form_.Edit1, Edit1);
  // Check follows Convert and the tree: tables chosen, folder accepted.
  for (Control* c : {static_cast<Control*>(&form_.btn_convert), static_cast<Control*>(&form_.CDirectoryOutline_Source)})
    c->on_change = [this, follow = c->on_change] {
      follow();
      update_check_enabled();
    };
  update_check_enabled();

  form_.CDirectoryOutline_Source.on_directory = [this] { show_directory(); };
  // Folders are read and sorted in the background: keep the directory shown
  // in view until the user picks one.
  connections_.push_back(connect(lower_, &QAbstractItemModel::layoutChanged, this, [this] {
    if (keep_in_view_)
      CDirectoryOutline_Source->scrollTo(CDirectoryOutline_Source->currentIndex(), QAbstractItemView::PositionAtCenter);
  }));
  connections_.push_back(connect(CDirectoryOutline_Source->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) { directory_chosen(current); }));

  form_.files_checklistbox.on_check = [this](std::size_t i) {
    const QSignalBlocker quiet(files_checklistbox);
    files_checklistbox->item(static_cast<int>(i))
        ->setCheckState(form_.files_checklistbox.Checked[i] ? Qt::Checked : Qt::Unchecked);
  };
  connections_.push_back(connect(files_checklistbox, &QListWidget::itemChanged, this, [this](QListWidgetItem* it) {
    form_.files_checklistbox.Checked.at(static_cast<std::size_t>(files_checklistbox->row(it))) =
        it->checkState() == Qt::Checked;
  }));

  Memo1->setPlainText(QString::fromStdString(form_.Memo1.Lines.empty() ? "" : form_.Memo1.Lines.front()));
  form_.Memo1.on_clear = [this] { Memo1->clear(); };
  // A run keeps the window from its message loop: the log is repainted by hand.
  form_.Memo1.on_add = [this](const std::string& line) {
    Memo1->appendPlainText(QString::fromStdString(line));
    if (log_throttle_.due()) Memo1->viewport()->repaint();
  };
  // The text always follows (the loop paints the last one when the run
  // ends); the box is repainted during the run at most every 50 ms.
  form_.Edit1.on_repaint = [this] {
    Edit1->setText(QString::fromStdString(form_.Edit1.Text));
    if (edit_throttle_.due()) Edit1->repaint();
  };

  connect(btn_select_directory, &QPushButton::clicked, this,
          [this] { handle(&Tconversion_form::btn_select_directoryClick); });
  connect(btn_reset, &QPushButton::clicked, this, [this] { handle(&Tconversion_form::btn_resetClick); });
  connect(btn_convert, &QPushButton::clicked, this, [this] { handle(&Tconversion_form::btn_convertClick); });
  connect(btn_check, &QPushButton::clicked, this, [this] { guarded([this] { check_tables(); }); });
}

void ConversionDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Once per form: later activations (after a message box) keep the log.
  if (activated_) return;
  activated_ = true;
  handle(&Tconversion_form::FormActivate);
}

void ConversionDialog::handle(void (Tconversion_form::*handler)(Sender)) {
  guarded([this, handler] { (form_.*handler)(&form_); });
}

void ConversionDialog::guarded(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    boxes_->Show(e.what(), "Error");
  }
}

void ConversionDialog::update_check_enabled() {
  btn_check->setEnabled(form_.btn_convert.Enabled && !form_.CDirectoryOutline_Source.Enabled);
}

void ConversionDialog::check_tables() {
  check::Options options;
  options.directory = form_.CDirectoryOutline_Source.Directory;
  options.ticks = form_.files_checklistbox.Checked;
  options.on_finding = [this](const check::Finding& f) { form_.Memo1.Add(check::format_finding(f)); };
  form_.Memo1.Add(Tconversion_form::kRule);
  form_.Memo1.Add("Checking the ticked tables of " + options.directory);
  form_.Memo1.Add(Tconversion_form::kRule);
  for (std::string& line : check::run(options).summary_lines()) form_.Memo1.Add(std::move(line));
}

void ConversionDialog::show_directory() {
  const std::filesystem::path real = platform::map_path(form_.CDirectoryOutline_Source.Directory);
  const QModelIndex source = dirs_->index(QDir::cleanPath(QString::fromStdString(real.string())));
  const QModelIndex shown = lower_->mapFromSource(source);
  showing_directory_ = true;
  CDirectoryOutline_Source->setCurrentIndex(shown);
  for (QModelIndex up = shown.parent(); up.isValid(); up = up.parent()) CDirectoryOutline_Source->expand(up);
  if (shown.isValid()) CDirectoryOutline_Source->scrollTo(shown, QAbstractItemView::PositionAtCenter);
  keep_in_view_ = shown.isValid();
  showing_directory_ = false;
}

void ConversionDialog::directory_chosen(const QModelIndex& current) {
  if (showing_directory_ || !current.isValid()) return;
  keep_in_view_ = false;
  form_.CDirectoryOutline_Source.Directory = dirs_->filePath(lower_->mapToSource(current)).toStdString();
}

}  // namespace qv::gui
