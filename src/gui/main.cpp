// quorvel-migrate: the desktop program.
//   quorvel-migrate
//   quorvel-migrate --screenshot FILE [--drive-c DIR] OLD_TABLE_DIR
//     runs a conversion of OLD_TABLE_DIR off screen and saves a picture of
//     the conversion form afterwards.
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>

#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "form/printed_boxes.h"
#include "gui/conversion_dialog.h"
#include "gui/main_screen.h"
#include "platform/paths.h"
#include "datamodule/datamodule.h"

namespace {

struct ScreenshotArgs {
  std::string file;
  std::string drive_c;
  std::string directory;
};

bool wants_screenshot(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--screenshot") == 0) return true;
  return false;
}

bool parse_screenshot(const QStringList& args, ScreenshotArgs& out) {
  for (qsizetype i = 1; i < args.size(); ++i) {
    const QString& a = args[i];
    if ((a == "--screenshot" || a == "--drive-c") && i + 1 < args.size()) {
      (a == "--screenshot" ? out.file : out.drive_c) = args[++i].toStdString();
    } else if (!a.startsWith("--") && out.directory.empty()) {
      out.directory = a.toStdString();
    } else {
      return false;
    }
  }
  return !out.file.empty() && !out.directory.empty();
}

int screenshot(const ScreenshotArgs& a) {
  if (!a.drive_c.empty()) qv::platform::set_drive_root(std::filesystem::absolute(a.drive_c));
  std::string directory = a.directory;
  if (!qv::platform::is_windows_path(directory)) directory = std::filesystem::absolute(directory).string();

  qv::DataModuleScope module;
  qv::PrintedBoxes boxes(stderr);
  qv::gui::ConversionDialog form(nullptr, &boxes);
  form.show();
  form.form().CDirectoryOutline_Source.SetDirectory(directory);
  form.btn_select_directory->click();
  form.btn_convert->click();
  // The run goes on its own thread; let it end and the tree finish reading
  // and sorting its folders.
  QElapsedTimer settle;
  settle.start();
  while (form.busy() || settle.elapsed() < 500) QApplication::processEvents(QEventLoop::AllEvents, 50);
  if (!form.grab().save(QString::fromStdString(a.file))) {
    std::fprintf(stderr, "Cannot write %s\n", a.file.c_str());
    return 1;
  }
  return boxes.shown ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool shot = wants_screenshot(argc, argv);
  if (shot && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  try {
    if (shot) {
      ScreenshotArgs a;
      if (!parse_screenshot(QApplication::arguments(), a)) {
        std::fprintf(stderr, "usage: quorvel-migrate --screenshot FILE [--drive-c DIR] OLD_TABLE_DIR\n");
        return 2;
      }
      return screenshot(a);
    }
    qv::gui::Tmain_screen main_screen;
    main_screen.show();
    qv::DataModuleScope module;
    QApplication::exec();
  } catch (const std::exception& e) {
    QMessageBox::critical(nullptr, QString(), QString::fromStdString(e.what()));
  }
  return 0;
}
