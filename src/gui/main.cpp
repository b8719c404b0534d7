// quorvel-migrate: the desktop program.
//   quorvel-migrate [--help | --version]
//   quorvel-migrate [--drive-c DIR] [OLD_TABLE_DIR]
//     the main window; with OLD_TABLE_DIR the conversion form opens on it.
//   quorvel-migrate --screenshot FILE [--drive-c DIR] OLD_TABLE_DIR
//     runs a conversion of OLD_TABLE_DIR off screen and saves a picture of
//     the conversion form afterwards.
#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QIcon>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "form/printed_boxes.h"
#include "gui/conversion_dialog.h"
#include "firebird/ib.h"
#include "gui/main_screen.h"
#include "gui/quit_on_signal.h"
#include "platform/paths.h"
#include "datamodule/datamodule.h"

namespace {

struct ScreenshotArgs {
  std::string file;
  std::string directory;
};

constexpr const char* kHelpFooter = R"(
Exit status:
  0    the main window was closed; --screenshot: the run completed and the picture was saved
  1    --screenshot: the run did not complete, or the picture could not be saved
  2    a usage error
  129, 130, 143
       ended by SIGHUP, SIGINT or SIGTERM (a run under way stops at its next row first)

Environment:
  QUORVEL_DRIVE_C
       Folder that stands for C:\ when --drive-c is not given (default: the home folder).

Examples:
  quorvel-migrate ~/old/db/smith001
       Opens the conversion form on that data set, its tables ticked.
  quorvel-migrate --drive-c /srv/quorvel
       Opens the main window with /srv/quorvel standing for C:\.
)";

// The arguments as given, for parsing before the toolkit starts.
QStringList arguments(int argc, char** argv) {
  QStringList list;
  for (int i = 0; i < argc; ++i) list << QString::fromLocal8Bit(argv[i]);
  return list;
}

// Opens the conversion form on `directory` once the main window shows,
// with the folder selected as the select button would.
void open_on(qv::gui::Tmain_screen& main_screen, const std::string& directory) {
  main_screen.show_modal = [first = true, directory](qv::gui::ConversionDialog& form) mutable {
    if (first) {
      first = false;
      QTimer::singleShot(0, &form, [&form, directory] {
        form.form().CDirectoryOutline_Source.SetDirectory(directory);
        form.btn_select_directory->click();
      });
    }
    form.exec();
  };
  QTimer::singleShot(0, &main_screen, [&main_screen] { main_screen.Conversion1Click(); });
}

// A folder as the program names it: a native path made absolute.
std::string program_directory(const std::string& directory) {
  if (qv::platform::is_windows_path(directory)) return directory;
  return std::filesystem::absolute(directory).string();
}

int screenshot(const ScreenshotArgs& a) {
  const std::string directory = program_directory(a.directory);

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

int run_program(int argc, char** argv) {
  // The options are read before the toolkit starts: a usage error, --help
  // and --version need no display.
  QCommandLineParser parser;
  parser.setApplicationDescription(
      "Moves QUORVEL data sets (the Paradox tables of one folder) into new databases. Without arguments it opens "
      "the main window; its Conversion menu leads through choosing the folder and the tables.");
  const QCommandLineOption help_option(QStringList{"h", "help"}, "Displays help on commandline options.");
  const QCommandLineOption version_option(QStringList{"v", "version"}, "Displays version information.");
  const QCommandLineOption shot_option(
      "screenshot", "Convert OLD_TABLE_DIR off screen and save a picture of the conversion form to FILE.", "FILE");
  const QCommandLineOption drive_option("drive-c",
                                        "Folder that stands for C:\\ (default: $QUORVEL_DRIVE_C, else home).", "DIR");
  parser.addOptions({help_option, version_option, shot_option, drive_option});
  parser.addPositionalArgument("OLD_TABLE_DIR",
                               "Folder of an old data set (holds quorvel2.db): the conversion form opens on it.",
                               "[OLD_TABLE_DIR]");
  const QStringList args = arguments(argc, argv);
  if (!parser.parse(args)) {
    std::fprintf(stderr, "quorvel-migrate: %s\nTry 'quorvel-migrate --help' for more information.\n",
                 qPrintable(parser.errorText()));
    return 2;
  }
  const QStringList rest = parser.positionalArguments();
  if (rest.size() > 1) {
    std::fprintf(stderr, "quorvel-migrate: one OLD_TABLE_DIR at most\nTry 'quorvel-migrate --help' for more information.\n");
    return 2;
  }
  if (parser.isSet(help_option)) {
    const QCoreApplication core(argc, argv);  // the help names the program from it
    // The manual page has these sections in its own form (packaging/*.h2m).
    std::string help = parser.helpText().replace(QString::fromLocal8Bit(argv[0]), "quorvel-migrate").toStdString();
    if (!std::getenv("QUORVEL_HELP_FOR_MANUAL")) help += kHelpFooter;
    std::fputs(help.c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  if (parser.isSet(version_option)) {
    std::printf("quorvel-migrate %s\n", QV_VERSION);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  if (parser.isSet(shot_option) && rest.size() != 1) {
    std::fprintf(stderr, "usage: quorvel-migrate --screenshot FILE [--drive-c DIR] OLD_TABLE_DIR\n");
    return 2;
  }
  if (parser.isSet(shot_option) && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  if (parser.isSet(drive_option))
    qv::platform::set_drive_root(std::filesystem::absolute(parser.value(drive_option).toStdString()));

  QApplication app(argc, argv);
  QApplication::setApplicationName("quorvel-migrate");
  QApplication::setApplicationVersion(QV_VERSION);
  // The menu entry and its icon, for the window too.
  QGuiApplication::setDesktopFileName("quorvel-migrate");
  QApplication::setWindowIcon(QIcon::fromTheme("quorvel-migrate"));

  try {
    const qv::gui::QuitOnSignal quit_on_signal;
    if (parser.isSet(shot_option)) {
      const int code = screenshot({parser.value(shot_option).toStdString(), rest.front().toStdString()});
      return quit_on_signal.signal() ? 128 + quit_on_signal.signal() : code;
    }
    qv::gui::Tmain_screen main_screen;
    main_screen.show();
    qv::DataModuleScope module;
    if (!rest.isEmpty()) open_on(main_screen, program_directory(rest.front().toStdString()));
    return QApplication::exec();
  } catch (const std::exception& e) {
    QMessageBox::critical(nullptr, QString(), QString::fromStdString(e.what()));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The windows, the data module and the application are gone once
  // run_program() returns: the engine is let go after them.
  return qv::fb::end_engine(run_program(argc, argv));
}
