#include "gui/conversion_dialog.h"

#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QFontDatabase>
#include <QHeaderView>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSplitter>
#include <QVBoxLayout>
#include <QThread>
#include <QTreeView>
#include <QUrl>

#include <exception>
#include <filesystem>

#include "check/check.h"
#include "datamodule/datamodule.h"
#include "gui/form_style.h"
#include "gui/lower_case_proxy.h"
#include "gui/qt_boxes.h"
#include "form/run_summary.h"
#include "paradox/table.h"
#include "platform/paths.h"
#include "registry/registry.h"
#include "verify/verify.h"

namespace qv::gui {

namespace {

// The form's size where the screen has room for it.
constexpr QSize kDesignSize(963, 502);

// A log read at its end stays at its end when it is made smaller (the
// details opening below it after a run), as it does when lines are added;
// else the run's last lines, and whatever follows them, go out of view.
class FollowsEnd : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Resize) {
      QScrollBar* bar = static_cast<QPlainTextEdit*>(watched)->verticalScrollBar();
      if (bar->value() == bar->maximum())
        QMetaObject::invokeMethod(bar, [bar] { bar->setValue(bar->maximum()); }, Qt::QueuedConnection);
    }
    return false;
  }
};

void set_colours(QWidget* w, QPalette::ColorRole role, const QColor& on, const QColor& off) {
  QPalette p = w->palette();
  for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive}) p.setColor(g, role, on);
  p.setColor(QPalette::Disabled, role, off);
  w->setPalette(p);
}

QLabel* step_label(QWidget* parent, const Label& model, const char* name) {
  auto* l = new QLabel(QString::fromStdString(model.Caption), parent);
  l->setObjectName(name);
  QFont f = l->font();
  f.setBold(true);
  f.setUnderline(true);
  l->setFont(f);
  set_colours(l, QPalette::WindowText, colours::kLabel, colours::kDisabledLabel);
  l->setFocusPolicy(Qt::NoFocus);
  return l;
}

// `key` marks the caption's access key (Alt and that letter press it).
QPushButton* button(QWidget* parent, const std::string& caption, const char* name, char key = 0) {
  QString text = QString::fromStdString(caption);
  if (key) text.insert(text.indexOf(QChar(key)), '&');
  auto* b = new QPushButton(text, parent);
  b->setObjectName(name);
  b->setAutoDefault(true);  // Enter presses the focused button
  return b;
}

// Lime background, bold text.
void lime(QWidget* w, const char* name, int pixel_size = 0) {
  w->setObjectName(name);
  QPalette p = w->palette();
  for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
    p.setColor(g, QPalette::Base, colours::kLime);
  w->setPalette(p);
  set_colours(w, QPalette::Text, colours::kText, colours::kDisabledText);
  QFont f = w->font();
  f.setBold(true);
  if (pixel_size) f.setPixelSize(pixel_size);
  w->setFont(f);
}

// Refreshes the widget from the control's enabled flag; on the worker
// thread nothing happens: the run's end shows the final state.
void bind_enabled(Control& control, QWidget* w) {
  control.on_change = [&control, w] {
    if (QThread::currentThread() == w->thread()) w->setEnabled(control.Enabled);
  };
}

// The bar's text, cut with "..." where it does not fit (whole in its
// tooltip and for screen readers).
void show_progress_text(QProgressBar* bar, const QString& text) {
  bar->setFormat(bar->fontMetrics().elidedText(text, Qt::ElideRight, std::max(40, bar->width() - 12)));
  bar->setToolTip(text);
  bar->setAccessibleDescription(text);
}

// A text cut to the label's width, whole in its tooltip and for screen readers.
void show_label_text(QLabel* label, const QString& text) {
  label->setText(label->fontMetrics().elidedText(text, Qt::ElideRight, std::max(40, label->width())));
  label->setToolTip(text);
  label->setAccessibleDescription(text);
}

// The bar moves to and fro while work goes on that it cannot count.
void show_busy(QProgressBar* bar, const QString& text) {
  bar->setRange(0, 0);
  show_progress_text(bar, text);
}

// The records of the current step when a table has several (the job-search
// table's three walks, which its count box follows too), else of the table.
std::int64_t records_done(const TableStats& t) { return t.step_done >= 0 ? t.step_done : t.done; }

QString text_of(const TableStats& t) {
  return QStringLiteral("%1: %2 of %3 records, %4")
      .arg(QString::fromStdString(t.table))
      .arg(records_done(t))
      .arg(t.old_rows)
      .arg(QString::fromStdString(t.step));
}

// The records of the ticked old tables of `directory`, read from their
// headers; a table that cannot be opened counts none (the run says why).
std::int64_t count_records(const std::string& directory, const std::vector<bool>& ticks) {
  std::int64_t all = 0;
  for (std::size_t i = 0; i < ticks.size() && i < registry::items().size(); ++i) {
    if (!ticks[i]) continue;
    try {
      pdx::PDTable table;
      table.Directory = directory;
      table.TableName = std::string(registry::items()[i].old_file);
      table.Open();
      all += table.RecordCount();
    } catch (const std::exception&) {
    }
  }
  return all;
}

// Asks the user name and password for `d`'s server, the password hidden.
bool login_dialog(QWidget* parent, ServerDestination& d) {
  QDialog ask(parent);
  ask.setWindowTitle(QStringLiteral("Server login"));
  auto* form = new QFormLayout(&ask);
  form->addRow(QStringLiteral("Server:"), new QLabel(QString::fromStdString(d.server.host), &ask));
  auto* user = new QLineEdit(QString::fromStdString(d.server.user), &ask);
  auto* password = new QLineEdit(&ask);
  password->setEchoMode(QLineEdit::Password);
  form->addRow(QStringLiteral("&User name:"), user);
  form->addRow(QStringLiteral("&Password:"), password);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &ask);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &ask, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &ask, &QDialog::reject);
  form->addRow(buttons);
  password->setFocus();
  if (ask.exec() != QDialog::Accepted) return false;
  d.server.user = user->text().toStdString();
  d.server.password = password->text().toStdString();
  return true;
}

}  // namespace

ConversionDialog::ConversionDialog(QWidget* parent, MessageBoxes* boxes, ConversionSteps* steps)
    : QDialog(parent),
      own_boxes_(boxes ? nullptr : std::make_unique<QtBoxes>(this)),
      boxes_(boxes ? boxes : own_boxes_.get()),
      form_(boxes_, {.steps = steps}) {
  setObjectName("conversion_form");
  setWindowTitle(QString());
  confirm_stop = [this] {
    if (!converting_) {
      const bool check = action_ == "Check";
      return QMessageBox::question(
                 this, check ? QStringLiteral("Check running") : QStringLiteral("Verify running"),
                 check ? QStringLiteral("The check is reading the ticked old tables. It writes nothing: no "
                                        "database, no temporary file. Close the form when the reading has ended?")
                       : QStringLiteral("Verify is reading the database and the old tables. It writes nothing. "
                                        "Close the form when the reading has ended?")) == QMessageBox::Yes;
    }
    return QMessageBox::question(this, QStringLiteral("Conversion running"),
                                 QStringLiteral("A conversion is running. Stop it at the next row? The database "
                                                "keeps the rows written until then and is incomplete: Convert "
                                                "makes it again. The form stays open with the log.")) ==
           QMessageBox::Yes;
  };
  confirm_replace = [this](const ExistingDatabase& e) {
    QMessageBox ask(QMessageBox::Warning, QStringLiteral("Replace the database?"), QString(), QMessageBox::NoButton,
                    this);
    set_box_texts(ask, QString::fromStdString(Tconversion_form::replace_question(e)));
    QPushButton* replace = ask.addButton(QStringLiteral("&Replace"), QMessageBox::DestructiveRole);
    QPushButton* cancel = ask.addButton(QMessageBox::Cancel);
    ask.setDefaultButton(cancel);
    ask.setEscapeButton(cancel);
    ask.exec();
    return ask.clickedButton() == replace;
  };
  choose_log_file = [this] {
    return QFileDialog::getSaveFileName(this, QStringLiteral("Save the log"),
                                        QDir::home().filePath(QStringLiteral("quorvel-migration-log.txt")),
                                        QStringLiteral("Text files (*.txt);;All files (*)"))
        .toStdString();
  };
  choose_folder = [this] {
    return QFileDialog::getExistingDirectory(this, QStringLiteral("Folder of one data set"),
                                             QString::fromStdString(form_.CDirectoryOutline_Source.Directory))
        .toStdString();
  };
  ask_login = [this](ServerDestination& d) { return login_dialog(this, d); };
  style_ = new FormStyle;
  build_widgets();
  lay_out();
  // The last child: deleted after the widgets that paint with it.
  style_->setParent(this);
  bind();
  fit_to_screen();
}

ConversionDialog::~ConversionDialog() {
  if (worker_.joinable()) {
    form_.request_stop();
    worker_.join();
  }
  // The widgets go after the core form: nothing may reach it from here on.
  for (const QMetaObject::Connection& c : connections_) disconnect(c);
}

void ConversionDialog::build_widgets() {
  scroll = new QScrollArea(this);
  scroll->setObjectName("scroll");
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidgetResizable(true);
  scroll->setFocusPolicy(Qt::NoFocus);
  auto* page = new QWidget(scroll);
  page->setObjectName("page");
  scroll->setWidget(page);

  Label1 = step_label(page, form_.Label1, "Label1");

  dirs_ = new QFileSystemModel(this);
  dirs_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
  dirs_->setRootPath(QDir::rootPath());
  lower_ = new LowerCaseProxy(this);
  lower_->setSourceModel(dirs_);
  lower_->set_drive_root(QDir::cleanPath(QString::fromStdString(platform::drive_root().string())));
  CDirectoryOutline_Source = new QTreeView(page);
  CDirectoryOutline_Source->setModel(lower_);
  CDirectoryOutline_Source->setHeaderHidden(true);
  // Names are shown whole: the column takes their width, and a scroll bar
  // appears when the tree is narrower.
  CDirectoryOutline_Source->header()->setStretchLastSection(false);
  CDirectoryOutline_Source->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  CDirectoryOutline_Source->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  CDirectoryOutline_Source->sortByColumn(0, Qt::AscendingOrder);
  CDirectoryOutline_Source->setSortingEnabled(true);
  lime(CDirectoryOutline_Source, "CDirectoryOutline_Source");

  btn_select_directory = button(page, form_.btn_select_directory.Caption, "btn_select_directory", 'S');
  btn_reset = button(page, form_.btn_reset.Caption, "btn_reset", 'R');
  btn_browse = button(page, "Browse...", "btn_browse", 'B');
  btn_browse->setToolTip(QStringLiteral("Show a folder outside the data sets' folder in the tree"));

  Label2 = step_label(page, form_.Label2, "Label2");
  files_checklistbox = new QListWidget(page);
  for (const std::string& item : form_.files_checklistbox.Items) {
    auto* it = new QListWidgetItem(QString::fromStdString(item), files_checklistbox);
    it->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    it->setCheckState(Qt::Unchecked);
  }
  lime(files_checklistbox, "files_checklistbox");
  btn_select_all = button(page, "Select all", "btn_select_all", 'a');
  btn_select_none = button(page, "Select none", "btn_select_none", 'n');

  btn_convert = button(page, form_.btn_convert.Caption, "btn_convert", 'C');
  Edit1 = new QLineEdit(QString::fromStdString(form_.Edit1.Text), page);
  Edit1->setObjectName("Edit1");
  Edit1->setReadOnly(true);
  progress = new QProgressBar(page);
  progress->setObjectName("progress");
  progress->setRange(0, 1);
  progress->setValue(0);
  show_progress_text(progress, QString());
  progress->setFocusPolicy(Qt::NoFocus);
  run_status = new QLabel(page);
  run_status->setObjectName("run_status");
  run_status->setMinimumWidth(40);
  run_status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  btn_check = button(page, "Check", "btn_check", 'h');
  btn_save_log = button(page, "Save log...", "btn_save_log", 'l');
  btn_verify = button(page, "Verify", "btn_verify", 'V');
  btn_details = button(page, "Details", "btn_details", 'D');
  btn_details->setCheckable(true);
  btn_details->setToolTip(QStringLiteral("Show or hide the details below the log"));
  btn_open_folder = button(page, "Open folder", "btn_open_folder", 'p');
  btn_open_folder->setEnabled(false);
  details = new QPlainTextEdit(page);
  details->setObjectName("details");
  details->setReadOnly(true);
  details->setVisible(false);
  details->setLineWrapMode(QPlainTextEdit::NoWrap);
  details->setTabChangesFocus(true);
  details->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
  server_edit = new QLineEdit(page);
  server_edit->setObjectName("server_edit");
  server_edit->setPlaceholderText(QStringLiteral("none: a local file"));
  server_dir_edit = new QLineEdit(page);
  server_dir_edit->setObjectName("server_dir_edit");
  server_dir_edit->setPlaceholderText(QStringLiteral("folder on the server's machine"));
  folder_edit = new QLineEdit(page);
  folder_edit->setObjectName("folder_edit");
  folder_edit->setReadOnly(true);
  database_edit = new QLineEdit(page);
  database_edit->setObjectName("database_edit");
  database_edit->setReadOnly(true);

  Label3 = step_label(page, form_.Label3, "Label3");
  Memo1 = new QPlainTextEdit(page);
  Memo1->setReadOnly(true);
  Memo1->installEventFilter(new FollowsEnd(Memo1));
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  lime(Memo1, "Memo1", 13);
  // Reports are tables: a fixed-width font lines their columns up, and
  // lines (rules too) keep their length, with a scroll bar when wider.
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  mono.setBold(true);
  mono.setPixelSize(13);
  Memo1->setFont(mono);
  mono.setBold(false);
  details->setFont(mono);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  // Keyboard users read the log: its focus shows, and Tab leaves it.
  Memo1->setTabChangesFocus(true);
  Memo1->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);

  for (QWidget* w : std::initializer_list<QWidget*>{CDirectoryOutline_Source, files_checklistbox, Memo1,
                                                    btn_select_directory, btn_reset, btn_convert, btn_check,
                                                    btn_verify, btn_browse, btn_select_all, btn_select_none,
                                                    btn_save_log, btn_details, btn_open_folder, details}) {
    w->setStyle(style_);
    w->installEventFilter(style_);
  }

  // Names a screen reader gives.
  setAccessibleName(QStringLiteral("Conversion"));
  CDirectoryOutline_Source->setAccessibleName(QStringLiteral("Folders"));
  files_checklistbox->setAccessibleName(QStringLiteral("Tables to migrate"));
  Memo1->setAccessibleName(QStringLiteral("Status messages"));
  progress->setAccessibleName(QStringLiteral("Progress"));
  run_status->setAccessibleName(QStringLiteral("Run progress"));
  Edit1->setAccessibleName(QStringLiteral("Progress count"));
  folder_edit->setAccessibleName(QStringLiteral("Chosen folder"));
  database_edit->setAccessibleName(QStringLiteral("Database"));
  server_edit->setAccessibleName(QStringLiteral("Server"));
  server_dir_edit->setAccessibleName(QStringLiteral("Folder on the server"));
  details->setAccessibleName(QStringLiteral("Details"));

  // The form's own controls first, then the ones added beside them.
  QWidget* order[] = {CDirectoryOutline_Source, files_checklistbox, btn_select_directory, btn_reset, Memo1,
                      btn_convert, Edit1, btn_check, btn_verify, server_edit, server_dir_edit,
                      btn_browse, btn_select_all, btn_select_none, folder_edit, database_edit, btn_save_log,
                      btn_details, btn_open_folder, details};
  for (std::size_t i = 1; i < std::size(order); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
}

// The tree above the check list on the left, the select and reset buttons
// between them, Convert and the progress box below; the log on the right,
// Check and Verify under it.
// A splitter between the two sides; both grow with the window, the log
// more. Below: the chosen folder, its database, Browse and the server
// fields, and the bar with the run's progress line along the bottom.
// When the screen is too small for all of it, the form scrolls, all but
// the bar and its line.
void ConversionDialog::lay_out() {
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(2);
  outer->addWidget(scroll, 1);
  // The bar and the run's progress line below the scrolling part: in view
  // whatever the screen's size and scale, and as wide as the window.
  auto* strip = new QVBoxLayout;
  strip->setContentsMargins(8, 0, 8, 6);
  strip->setSpacing(2);
  strip->addWidget(progress);
  strip->addWidget(run_status);
  outer->addLayout(strip);
  QWidget* page = scroll->widget();

  // One side of the splitter: a column of widgets and rows.
  const auto side = [page](QWidget*& w) {
    w = new QWidget(page);
    auto* column = new QVBoxLayout(w);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    return column;
  };
  QWidget *left = nullptr, *right = nullptr;
  QVBoxLayout* lv = side(left);
  lv->addWidget(Label1);
  lv->addWidget(CDirectoryOutline_Source, 1);
  auto* select_row = new QHBoxLayout;
  select_row->addWidget(btn_select_directory, 2);
  select_row->addWidget(btn_reset, 1);
  lv->addLayout(select_row);
  lv->addWidget(Label2);
  lv->addWidget(files_checklistbox, 1);
  auto* tables_row = new QHBoxLayout;
  tables_row->addWidget(btn_select_all);
  tables_row->addWidget(btn_select_none);
  tables_row->addStretch(1);
  lv->addLayout(tables_row);
  auto* convert_row = new QHBoxLayout;
  convert_row->addWidget(btn_convert, 1);
  // During a run the box counts the records done of the table (or step) at
  // work, the number the bar shows; a label says so.
  auto* edit_label = new QLabel(QStringLiteral("Records done:"), page);
  edit_label->setBuddy(Edit1);
  convert_row->addWidget(edit_label);
  convert_row->addWidget(Edit1, 2);
  lv->addLayout(convert_row);

  QVBoxLayout* rv = side(right);
  auto* log_row = new QHBoxLayout;
  log_row->addWidget(Label3, 1);
  log_row->addWidget(btn_details);
  log_row->addWidget(btn_open_folder);
  log_row->addWidget(btn_save_log);
  rv->addLayout(log_row);
  rv->addWidget(Memo1, 2);
  rv->addWidget(details, 1);
  auto* check_row = new QHBoxLayout;
  check_row->addStretch(1);
  check_row->addWidget(btn_check);
  check_row->addWidget(btn_verify);
  rv->addLayout(check_row);

  splitter = new QSplitter(Qt::Horizontal, page);
  splitter->setObjectName("splitter");
  splitter->setChildrenCollapsible(false);
  splitter->addWidget(left);
  splitter->addWidget(right);
  splitter->setStretchFactor(0, 1);
  splitter->setStretchFactor(1, 2);
  splitter->setSizes({285, 653});

  auto* grid = new QGridLayout(page);
  grid->setContentsMargins(8, 6, 8, 8);
  grid->setHorizontalSpacing(6);
  grid->setVerticalSpacing(4);
  grid->addWidget(splitter, 0, 0, 1, 5);
  // A field after its label, `span` columns wide.
  const auto field = [grid, page](int row, int column, const char* text, QLineEdit* edit, int span) {
    auto* label = new QLabel(QString::fromUtf8(text), page);
    label->setBuddy(edit);
    grid->addWidget(label, row, column);
    grid->addWidget(edit, row, column + 1, 1, span);
  };
  // The folder and its database take whole rows: their paths are long.
  field(1, 0, "Folder:", folder_edit, 3);
  grid->addWidget(btn_browse, 1, 4);
  field(2, 0, "Database:", database_edit, 3);
  field(3, 0, "Serv&er (host[/port]):", server_edit, 1);
  field(3, 2, "F&older on the server:", server_dir_edit, 1);
  grid->setRowStretch(0, 1);
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(3, 1);

  for (QWidget* w : {static_cast<QWidget*>(CDirectoryOutline_Source), static_cast<QWidget*>(files_checklistbox)})
    w->setMinimumSize(160, 56);
  Memo1->setMinimumWidth(240);
}

// The design size, shrunk to the screen's available area (less room for the
// window's frame); what does not fit then scrolls.
void ConversionDialog::fit_to_screen() {
  const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
  QSize size = kDesignSize;
  if (s) size = size.boundedTo(s->availableGeometry().size() - QSize(16, 40));
  // Too narrow for the two sides beside each other: the log goes below the
  // lists, and the form scrolls up and down only.
  splitter->setOrientation(Qt::Horizontal);
  if (scroll->widget()->minimumSizeHint().width() > size.width()) splitter->setOrientation(Qt::Vertical);
  resize(size);
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
  sync();

  form_.CDirectoryOutline_Source.on_directory = [this] {
    if (on_ui_thread()) show_directory();
  };
  // Folders are read and sorted in the background: keep the directory shown
  // in view until the user picks one.
  connections_.push_back(connect(lower_, &QAbstractItemModel::layoutChanged, this, [this] {
    if (keep_in_view_)
      CDirectoryOutline_Source->scrollTo(CDirectoryOutline_Source->currentIndex(), QAbstractItemView::EnsureVisible);
  }));
  connections_.push_back(connect(CDirectoryOutline_Source->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) { directory_chosen(current); }));

  form_.files_checklistbox.on_check = [this](std::size_t i) {
    if (!on_ui_thread()) return;
    const QSignalBlocker quiet(files_checklistbox);
    files_checklistbox->item(static_cast<int>(i))
        ->setCheckState(form_.files_checklistbox.Checked[i] ? Qt::Checked : Qt::Unchecked);
  };
  connections_.push_back(connect(files_checklistbox, &QListWidget::itemChanged, this, [this](QListWidgetItem* it) {
    form_.files_checklistbox.Checked.at(static_cast<std::size_t>(files_checklistbox->row(it))) =
        it->checkState() == Qt::Checked;
  }));

  Memo1->setPlainText(QString::fromStdString(form_.Memo1.Lines.empty() ? "" : form_.Memo1.Lines.front()));
  form_.Memo1.on_clear = [this] {
    post([](Outbox& o) {
      o.clear = true;
      o.lines.clear();
    });
  };
  form_.Memo1.on_add = [this](const std::string& line) { post([&line](Outbox& o) { o.lines.push_back(line); }); };
  form_.on_progress = [this](const TableStats& t, bool) {
    if (t.table != progress_table_) {  // the next table: the one before is behind
      records_before_ += progress_old_rows_;
      progress_table_ = t.table;
      progress_old_rows_ = t.old_rows;
    }
    post([&t, this](Outbox& o) {
      o.table = t;
      o.records_done = records_before_ + std::min(t.done, t.old_rows);
    });
  };

  connect(btn_select_directory, &QPushButton::clicked, this, [this] {
    handle(&Tconversion_form::btn_select_directoryClick);
    sync();
    if (files_checklistbox->isEnabled()) files_checklistbox->setFocus();
  });
  connect(btn_reset, &QPushButton::clicked, this, [this] {
    handle(&Tconversion_form::btn_resetClick);
    sync();
    CDirectoryOutline_Source->setFocus();
  });
  connect(btn_convert, &QPushButton::clicked, this, [this] { convert(); });
  for (auto [b, on] : {std::pair{btn_select_all, true}, std::pair{btn_select_none, false}})
    connect(b, &QPushButton::clicked, this, [this, on = on] {
      for (std::size_t i = 0; i < Tconversion_form::kTables; ++i) form_.files_checklistbox.SetChecked(i, on);
      update_verify();
    });
  connect(btn_save_log, &QPushButton::clicked, this, [this] {
    const std::string file = choose_log_file();
    if (file.empty()) return;
    const std::string problem = platform::write_output(file, Memo1->toPlainText().toStdString() + "\n");
    if (!problem.empty())
      show_problem({"Log not saved", "The log could not be saved to " + platform::readable_message(file) + ".",
                    "Choose another file or folder.", problem});
  });
  connect(btn_details, &QPushButton::toggled, details, &QWidget::setVisible);
  connect(btn_open_folder, &QPushButton::clicked, this, [this] { open_folder(btn_open_folder->toolTip()); });
  open_folder = [this](const QString& folder) {
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
      show_problem({"Folder not opened", "No file manager could open the folder of the database.",
                    "Open it yourself: " + folder.toStdString(), {}});
  };
  connect(btn_browse, &QPushButton::clicked, this, [this] {
    const std::string folder = choose_folder();
    if (folder.empty()) return;
    form_.CDirectoryOutline_Source.SetDirectory(folder);
    CDirectoryOutline_Source->setFocus();
  });
  connect(btn_check, &QPushButton::clicked, this, [this] {
    // Refused as Convert would refuse it.
    bool allowed = false;
    guarded([this, &allowed] { allowed = form_.convert_allowed(); });
    if (!allowed) return;
    check_start_line_ = Memo1->blockCount();
    action_ = "Check";
    show_busy(progress, QStringLiteral("Checking the ticked tables..."));
    show_label_text(run_status, QStringLiteral("Reading every ticked table of %1; nothing is written.")
                                    .arg(folder_edit->text()));
    finished_text_ = QStringLiteral("Check done: see the log");
    start_worker([this] { check_tables(); });
  });
  // Verify reads the database of the destination the server fields name.
  for (QLineEdit* field : {server_edit, server_dir_edit})
    connect(field, &QLineEdit::textChanged, this, [this] {
      update_verify();
      show_destination();
    });
  connect(btn_verify, &QPushButton::clicked, this, [this] {
    // The target is taken here: the worker does not read the form's controls.
    std::optional<Tconversion_form::VerifyTarget> target;
    guarded([this, &target] { target = form_.verify_target(server_given()); });
    std::optional<ServerDestination> server;
    if (!target || !server_from_fields(server)) return;
    show_busy(progress, QStringLiteral("Verifying the database..."));
    show_label_text(run_status, QStringLiteral("Comparing %1 with the old tables; nothing is written.")
                                    .arg(database_edit->text()));
    finished_text_ = QStringLiteral("Verify done: see the log");
    action_ = "Verify";
    start_worker([this, t = std::move(*target), s = std::move(server)] { verify_tables(t, s); });
  });
}

bool ConversionDialog::on_ui_thread() const { return QThread::currentThread() == thread(); }

void ConversionDialog::sync() {
  const std::pair<Control*, QWidget*> pairs[] = {
      {&form_.Label1, Label1},       {&form_.CDirectoryOutline_Source, CDirectoryOutline_Source},
      {&form_.Label2, Label2},       {&form_.files_checklistbox, files_checklistbox},
      {&form_.btn_select_directory, btn_select_directory},
      {&form_.btn_reset, btn_reset}, {&form_.Memo1, Memo1},
      {&form_.Label3, Label3},       {&form_.btn_convert, btn_convert},
      {&form_.Edit1, Edit1}};
  for (const auto& [control, widget] : pairs) widget->setEnabled(control->Enabled);
  // Check reads the tables once they are being chosen.
  btn_check->setEnabled(form_.btn_convert.Enabled && !form_.CDirectoryOutline_Source.Enabled);
  btn_select_all->setEnabled(form_.files_checklistbox.Enabled);
  btn_select_none->setEnabled(form_.files_checklistbox.Enabled);
  btn_browse->setEnabled(form_.CDirectoryOutline_Source.Enabled);
  update_verify();
  {
    const QSignalBlocker quiet(files_checklistbox);
    for (std::size_t i = 0; i < form_.files_checklistbox.Checked.size(); ++i)
      files_checklistbox->item(static_cast<int>(i))
          ->setCheckState(form_.files_checklistbox.Checked[i] ? Qt::Checked : Qt::Unchecked);
  }
  // Enter on the tree accepts the folder; on the check list it converts.
  btn_select_directory->setDefault(form_.btn_select_directory.Enabled);
  btn_convert->setDefault(form_.btn_convert.Enabled);
}

void ConversionDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Once per form: later activations (after a message box) keep the log.
  if (activated_) return;
  activated_ = true;
  fit_to_screen();
  handle(&Tconversion_form::FormActivate);
  sync();
  CDirectoryOutline_Source->setFocus();
}

void ConversionDialog::closeEvent(QCloseEvent* event) {
  if (!busy()) return QDialog::closeEvent(event);
  event->ignore();
  ask_to_stop();
}

void ConversionDialog::reject() {
  if (busy())
    ask_to_stop();
  else
    QDialog::reject();
}

void ConversionDialog::ask_to_stop() {
  if (close_after_run_ || person_stopped_ || !confirm_stop()) return;
  if (!converting_) return stop_and_close();
  // The form stays open with the log; the run ends at its next row.
  person_stopped_ = true;
  form_.request_stop();
  show_progress_text(progress, QStringLiteral("Stopping at the next row..."));
}

void ConversionDialog::stop_and_close() {
  if (!busy()) {
    done(QDialog::Rejected);
    return;
  }
  close_after_run_ = true;
  form_.request_stop();
}

void ConversionDialog::handle(void (Tconversion_form::*handler)(Sender)) {
  guarded([this, handler] { (form_.*handler)(&form_); });
}

void ConversionDialog::guarded(const std::function<void()>& action, const std::string& action_name) {
  try {
    action();
  } catch (const std::exception&) {
    ProblemContext context;
    context.action = action_name;
    show_error(std::current_exception(), context);
  }
}

void ConversionDialog::show_error(std::exception_ptr error, const ProblemContext& context) {
  show_problem(describe_error(std::move(error), context));
}

void ConversionDialog::show_problem(const Problem& p) {
  for (std::string& line : problem_log_lines(p)) form_.Memo1.Add(std::move(line));
  Memo1->verticalScrollBar()->setValue(Memo1->verticalScrollBar()->maximum());
  boxes_->ShowProblem(p);
}

void ConversionDialog::show_details(const std::vector<std::string>& lines, bool open) {
  QStringList text;
  for (const std::string& line : lines) text << QString::fromStdString(line);
  details->setPlainText(text.join('\n'));
  btn_details->setText(lines.empty() ? QStringLiteral("&Details")
                                     : QStringLiteral("&Details (%1 lines)").arg(lines.size()));
  btn_details->setChecked(open && !lines.empty());
}

void ConversionDialog::show_run_summary() {
  std::vector<std::string> lines;
  btn_open_folder->setEnabled(false);
  if (!form_.run_created_database) return show_details({}, false);
  if (!DataModule2 || !DataModule2->Server) {
    const std::string file =
        Tconversion_form::destination_file(form_.run_database_name(form_.old_table_directory));
    const std::filesystem::path real = platform::map_path(file);
    lines.push_back("Database: " + file);
    // The one place the folder is named as this computer names it.
    lines.push_back("On this computer: " + real.string());
    btn_open_folder->setToolTip(QString::fromStdString(real.parent_path().string()));
    btn_open_folder->setEnabled(true);
  }
  lines.push_back("Rows per table (old rows = new rows + skipped + merged):");
  for (std::string& line : table_summary_lines(form_.stats)) lines.push_back(std::move(line));
  show_details(lines, true);
}

void ConversionDialog::convert() {
  bool allowed = false;
  guarded([this, &allowed] { allowed = form_.convert_allowed(); });
  if (!allowed || !choose_destination()) return;
  // Replacing a database loses what was entered in it since: asked first.
  if (!DataModule2 || !DataModule2->Server) {
    std::optional<ExistingDatabase> existing;
    guarded([this, &existing] { existing = form_.existing_database(form_.CDirectoryOutline_Source.Directory); });
    if (existing && !confirm_replace(*existing)) return;
  }
  show_busy(progress, QStringLiteral("Creating the database"));
  show_label_text(run_status, QString());
  // The count box starts each run afresh.
  Edit1->setText(QStringLiteral("0"));
  show_details({}, false);
  btn_open_folder->setEnabled(false);
  run_clock_.start();
  action_ = "Convert";
  converting_ = true;
  progress_table_.clear();
  records_before_ = progress_old_rows_ = 0;
  start_worker([this] {
    all_records_ = count_records(form_.CDirectoryOutline_Source.Directory, form_.files_checklistbox.Checked);
    form_.btn_convertClick(&form_);
  });
}

bool ConversionDialog::choose_destination() {
  if (!DataModule2) return true;
  DataModule2->Server.reset();
  return server_from_fields(DataModule2->Server);
}

bool ConversionDialog::server_given() const {
  return !server_edit->text().trimmed().isEmpty() || !server_dir_edit->text().trimmed().isEmpty();
}

bool ConversionDialog::server_from_fields(std::optional<ServerDestination>& server) {
  const std::string host = server_edit->text().trimmed().toStdString();
  const std::string dir = server_dir_edit->text().trimmed().toStdString();
  server.reset();
  if (host.empty() && dir.empty()) return true;
  std::string problem = host.empty() ? "a folder on the server is given, but no server"
                        : dir.empty() ? "no folder on the server's machine is given"
                                      : ServerDestination::host_problem(host);
  if (!problem.empty()) {
    show_problem({"Server not usable", "Server " + host + ": " + problem + ".",
                  "Fill in both server fields (the server as host or host/port, and the folder on its machine), or "
                  "empty both to write a local file.",
                  {}});
    return false;
  }
  ServerDestination d;
  d.server.host = host;
  d.directory = dir;
  if (!d.login_from_environment() && !ask_login(d)) return false;
  server = std::move(d);
  return true;
}

void ConversionDialog::check_tables() {
  check::Options options;
  options.on_server = !server_edit->text().trimmed().isEmpty();
  options.directory = form_.CDirectoryOutline_Source.Directory;
  options.ticks = form_.files_checklistbox.Checked;
  std::vector<check::Finding> stopping, changing;
  options.on_finding = [&](const check::Finding& f) { (check::stops_run(f.kind) ? stopping : changing).push_back(f); };
  check_details_.clear();
  const check::Report report = check::run(options);
  // The verdict first, then what stops the run, the counts per kind, and
  // last what would only change values.
  form_.Memo1.Add(Tconversion_form::kRule);
  form_.Memo1.Add("Checking the ticked tables of " + platform::readable_message(options.directory));
  form_.Memo1.Add(Tconversion_form::kRule);
  std::string verdict = !report.stops()    ? "Verdict: nothing would stop the run."
                        : stopping.empty() ? "Verdict: the run would stop (see below)."
                                           : "Verdict: the run would stop (" + std::to_string(stopping.size()) +
                                                 (stopping.size() == 1 ? " finding" : " findings") + " below).";
  if (!changing.empty())
    verdict += " " + std::to_string(changing.size()) + " values would change (listed under Details).";
  form_.Memo1.Add(verdict);
  // The log keeps the first few findings that stop the run; every finding
  // goes to the details below it, collapsed.
  constexpr std::size_t kInLog = 10;
  for (std::size_t i = 0; i < std::min(stopping.size(), kInLog); ++i)
    form_.Memo1.Add(platform::readable_message(check::format_finding(stopping[i])));
  for (std::string& line : report.summary_lines()) form_.Memo1.Add(platform::readable_message(line));
  for (const check::Finding& f : stopping) check_details_.push_back(platform::readable_message(check::format_finding(f)));
  if (!changing.empty()) check_details_.push_back("Values the run would change:");
  for (const check::Finding& f : changing) check_details_.push_back(platform::readable_message(check::format_finding(f)));
  if (check_details_.size() > std::min(stopping.size(), kInLog))
    form_.Memo1.Add("Every finding (" + std::to_string(stopping.size() + changing.size()) +
                    ") is under Details, below the log.");
}

void ConversionDialog::verify_tables(const Tconversion_form::VerifyTarget& target,
                                     const std::optional<ServerDestination>& server) {
  verify::Options options;
  options.directory = target.directory;
  options.ticks = target.ticks;
  options.server = server;
  const verify::Report report = verify::run(options);
  form_.Memo1.Add(Tconversion_form::kRule);
  const std::string dbname = Tconversion_form::database_name(target.directory);
  const std::string database = server ? server->server.host + ":" + server->database(dbname + ".gdb")
                                      : Tconversion_form::destination_file(dbname);
  form_.Memo1.Add("Verifying " + database + " against the old tables of " +
                  platform::readable_message(target.directory));
  form_.Memo1.Add(Tconversion_form::kRule);
  for (const std::string& line : report.lines()) form_.Memo1.Add(platform::readable_message(line));
}

void ConversionDialog::update_verify() {
  bool on = false;
  if (!busy()) guarded([this, &on] { on = form_.verify_target(server_given()).has_value(); });
  btn_verify->setEnabled(on);
}

void ConversionDialog::set_inputs_enabled(bool on) {
  for (QWidget* w : std::initializer_list<QWidget*>{CDirectoryOutline_Source, files_checklistbox, btn_select_directory,
                                                    btn_reset, btn_convert, btn_check, btn_verify, server_edit,
                                                    server_dir_edit, btn_browse, btn_select_all, btn_select_none})
    w->setEnabled(on);
  if (auto* main = qobject_cast<QMainWindow*>(parentWidget())) main->menuBar()->setEnabled(on);
}

void ConversionDialog::start_worker(std::function<void()> job) {
  if (busy()) return;
  set_inputs_enabled(false);
  // The log keeps the focus during the work: it can still be read and scrolled.
  Memo1->setFocus();
  worker_ = std::thread([this, job = std::move(job)] {
    std::exception_ptr error;
    try {
      job();
    } catch (...) {
      error = std::current_exception();
    }
    QMetaObject::invokeMethod(this, [this, error] { worker_done(error); }, Qt::QueuedConnection);
  });
}

void ConversionDialog::worker_done(std::exception_ptr error) {
  worker_.join();
  flush();
  set_inputs_enabled(true);
  sync();
  show_directory();
  // A check's verdict in view, not the end of its details.
  if (check_start_line_ >= 0) Memo1->verticalScrollBar()->setValue(check_start_line_);
  check_start_line_ = -1;
  if (action_ == "Check") show_details(check_details_, false);
  if (!converting_ && progress->maximum() == 0) {
    progress->setRange(0, 1);
    progress->setValue(1);
    show_progress_text(progress, finished_text_);
    show_label_text(run_status, QString());
  }
  const bool ran = converting_;
  // Refused before it began (another run holds the temporary folder): its
  // box has said why, and nothing was touched.
  const bool refused_before =
      form_.result.outcome == RunResult::Outcome::refused && form_.result.where.empty();
  if (converting_) {
    converting_ = false;
    show_run_summary();
    if (progress->maximum() == 0) progress->setRange(0, 1);
    if (form_.result.outcome == RunResult::Outcome::completed) {
      progress->setValue(progress->maximum());
      show_progress_text(progress, QStringLiteral("Conversion run complete"));
      if (!DataModule2 || !DataModule2->Server) {
        std::string where;
        guarded([this, &where] { where = form_.run_end_text(); });
        show_label_text(run_status, QString::fromStdString(where));
      }
    } else if (refused_before) {
      progress->setValue(0);
      show_progress_text(progress, QStringLiteral("Not started: nothing was done"));
      show_label_text(run_status, QString());
    } else {
      show_progress_text(progress, QStringLiteral("Stopped at %1").arg(QString::fromStdString(form_.run_position())));
      show_label_text(run_status, QString());
    }
    if (form_.result.outcome == RunResult::Outcome::stopped && !close_after_run_) {
      show_progress_text(progress, QStringLiteral("Stopped at %1: the database is incomplete")
                              .arg(QString::fromStdString(form_.run_position())));
      form_.Memo1.Add(Tconversion_form::kIncompleteLine);
    }
  }
  // A person's stop ends with the run; a signal's stays and closes the form.
  if (person_stopped_ && !close_after_run_) form_.withdraw_stop();
  person_stopped_ = false;
  (CDirectoryOutline_Source->isEnabled() ? static_cast<QWidget*>(CDirectoryOutline_Source)
                                         : static_cast<QWidget*>(files_checklistbox))
      ->setFocus();
  if (close_after_run_) {
    close_after_run_ = false;
    done(QDialog::Rejected);
    return;
  }
  if (error) {
    ProblemContext context;
    context.action = action_;
    if (ran) {
      context.table = form_.run_position();
      context.ending = form_.result.ending;
    }
    show_error(error, context);
  } else if (ran && form_.result.outcome == RunResult::Outcome::refused && !refused_before) {
    // Convert refused to touch the earlier database: the log says so in its
    // own words; the box says why and what to do.
    const std::string file = Tconversion_form::destination_file(form_.run_database_name(form_.old_table_directory));
    const bool on_server = DataModule2 && DataModule2->Server;
    show_problem(refused_database(file, on_server ? std::string() : Tconversion_form::odd_file_kind(file), on_server));
  }
}

void ConversionDialog::post(const std::function<void(Outbox&)>& fill) {
  bool schedule = false;
  {
    std::lock_guard lock(outbox_mu_);
    fill(outbox_);
    schedule = !outbox_.posted;
    outbox_.posted = true;
  }
  if (on_ui_thread())
    flush();
  else if (schedule)
    QMetaObject::invokeMethod(this, [this] { flush(); }, Qt::QueuedConnection);
}

void ConversionDialog::flush() {
  Outbox o;
  {
    std::lock_guard lock(outbox_mu_);
    std::swap(o, outbox_);
  }
  if (o.clear) Memo1->clear();
  for (const std::string& line : o.lines) Memo1->appendPlainText(QString::fromStdString(line));
  if (o.table) show_table(*o.table, o.records_done);
}

void ConversionDialog::show_table(const TableStats& t, std::int64_t all_done) {
  const double seconds = static_cast<double>(run_clock_.elapsed()) / 1000.0;
  show_label_text(run_status, QString::fromStdString(form_.progress_text(t, seconds, all_done, all_records_)));
  Edit1->setText(QString::number(records_done(t)));
  if (t.step == Tconversion_form::kBuildingIndexes) return show_busy(progress, text_of(t));
  // The bar counts in thousandths: record counts may pass an int.
  const double share =
      t.old_rows > 0 ? static_cast<double>(records_done(t)) / static_cast<double>(t.old_rows) : 1.0;
  progress->setRange(0, 1000);
  progress->setValue(static_cast<int>(std::clamp(share, 0.0, 1.0) * 1000));
  show_progress_text(progress, text_of(t));
}

void ConversionDialog::show_directory() {
  std::filesystem::path real = platform::map_path(form_.CDirectoryOutline_Source.Directory);
  // A folder that does not exist: its nearest existing parent is shown.
  std::error_code ec;
  while (real.has_parent_path() && real != real.parent_path() && !std::filesystem::is_directory(real, ec))
    real = real.parent_path();
  const QString shown_path = QDir::cleanPath(QString::fromStdString(real.string()));
  // The tree opens at the data sets' folder when the folder lies in it, else
  // at C:\ when it lies there, else at the file system's root.
  QString root = QDir::rootPath();
  for (const std::string& top : {std::string(Tconversion_form::kDefaultDirectory), std::string("C:\\")}) {
    const QString candidate = QDir::cleanPath(QString::fromStdString(platform::map_path(top).string()));
    if (QFileInfo(candidate).isDir() && (shown_path == candidate || shown_path.startsWith(candidate + '/'))) {
      root = candidate;
      break;
    }
  }
  showing_directory_ = true;
  CDirectoryOutline_Source->setRootIndex(lower_->mapFromSource(dirs_->index(root)));
  const QModelIndex shown = shown_path == root ? QModelIndex() : lower_->mapFromSource(dirs_->index(shown_path));
  CDirectoryOutline_Source->setCurrentIndex(shown);
  for (QModelIndex up = shown.parent(); up.isValid(); up = up.parent()) CDirectoryOutline_Source->expand(up);
  if (shown.isValid()) CDirectoryOutline_Source->scrollTo(shown, QAbstractItemView::EnsureVisible);
  keep_in_view_ = shown.isValid();
  showing_directory_ = false;
  update_verify();
  show_destination();
}

void ConversionDialog::show_destination() {
  const std::string& directory = form_.CDirectoryOutline_Source.Directory;
  folder_edit->setText(QString::fromStdString(platform::readable_message(directory)));
  folder_edit->setCursorPosition(0);
  std::string database;
  const std::string dbname = form_.run_database_name(directory);
  if (!dbname.empty()) {
    ServerDestination on_server;
    on_server.directory = server_dir_edit->text().trimmed().toStdString();
    const std::string host = server_edit->text().trimmed().toStdString();
    database = host.empty() ? Tconversion_form::destination_file(dbname)
                            : host + ":" + on_server.database(dbname + ".gdb");
  }
  database_edit->setText(QString::fromStdString(database));
  database_edit->setToolTip(database_edit->text());
  folder_edit->setToolTip(folder_edit->text());
}

void ConversionDialog::directory_chosen(const QModelIndex& current) {
  if (showing_directory_ || !current.isValid()) return;
  keep_in_view_ = false;
  form_.CDirectoryOutline_Source.Directory = dirs_->filePath(lower_->mapToSource(current)).toStdString();
  update_verify();
  show_destination();
}

}  // namespace qv::gui
