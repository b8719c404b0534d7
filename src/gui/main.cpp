// quorvel-migrate: the desktop program.
//   quorvel-migrate [--help | --version]
//   quorvel-migrate --screenshot FILE [--drive-c DIR] OLD_TABLE_DIR
//     runs a conversion of OLD_TABLE_DIR off screen and saves a picture of
//     the conversion form afterwards.
#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QIcon>
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
#include "gui/quit_on_signal.h"
#include "platform/paths.h"
#include "datamodule/datamodule.h"

namespace {

struct ScreenshotArgs {
  std::string file;
  std::string drive_c;
  std::string directory;
};

// Options that open no window: they work without a display.
bool opens_no_window(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    for (const char* option : {"--screenshot", "--help", "-h", "--help-all", "--version", "-v"})
      if (std::strcmp(argv[i], option) == 0) return true;
  return false;
}

int screenshot(const ScreenshotArgs& a) {
  if (!a.drive_c.empty()) qv::platform::set_drive_root(std::filesystem::absolute(a.drive_c));
  std::string directory = a.directory;
  if (!qv::platform::is_windows_path(directory)) directory = std::filesystem::absolute(directory).string();

  qv::DataModuleScope module;
  qv::PrintedBoxes boxes(stderr);
  qv::gui::ConversionDialog form(nullptr, &boxes);
  // Nobody to ask off screen: a database made by an earlier picture is replaced.
  form.confirm_replace = [](const qv::ExistingDatabase&) { return true; };
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
  if (opens_no_window(argc, argv) && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setApplicationName("quorvel-migrate");
  QApplication::setApplicationVersion(QV_VERSION);
  // The menu entry and its icon, for the window too.
  QGuiApplication::setDesktopFileName("quorvel-migrate");
  QApplication::setWindowIcon(QIcon::fromTheme("quorvel-migrate"));

  QCommandLineParser parser;
  parser.setApplicationDescription(
      "Moves QUORVEL data sets (the Paradox tables of one folder) into new databases. Without arguments it opens "
      "the main window; its Conversion menu leads through choosing the folder and the tables.");
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption shot_option(
      "screenshot", "Convert OLD_TABLE_DIR off screen and save a picture of the conversion form to FILE.", "FILE");
  const QCommandLineOption drive_option("drive-c",
                                        "Folder that stands for C:\\ (default: $QUORVEL_DRIVE_C, else home).", "DIR");
  parser.addOptions({shot_option, drive_option});
  parser.addPositionalArgument("OLD_TABLE_DIR", "Folder of the old data set (holds quorvel2.db), with --screenshot.",
                               "[OLD_TABLE_DIR]");
  if (!parser.parse(QApplication::arguments())) {
    std::fprintf(stderr, "%s\n", qPrintable(parser.errorText()));
    return 2;
  }
  if (parser.isSet("help") || parser.isSet("help-all")) parser.showHelp(0);
  if (parser.isSet("version")) parser.showVersion();

  try {
    const qv::gui::QuitOnSignal quit_on_signal;
    if (parser.isSet(shot_option)) {
      const QStringList rest = parser.positionalArguments();
      if (rest.size() != 1) {
        std::fprintf(stderr, "usage: quorvel-migrate --screenshot FILE [--drive-c DIR] OLD_TABLE_DIR\n");
        return 2;
      }
      const int code = screenshot({parser.value(shot_option).toStdString(), parser.value(drive_option).toStdString(),
                                   rest.front().toStdString()});
      return quit_on_signal.signal() ? 128 + quit_on_signal.signal() : code;
    }
    qv::gui::Tmain_screen main_screen;
    main_screen.show();
    qv::DataModuleScope module;
    return QApplication::exec();
  } catch (const std::exception& e) {
    QMessageBox::critical(nullptr, QString(), QString::fromStdString(e.what()));
  }
  return 0;
}
