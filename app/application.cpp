#include "app/application.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "app/form1_main.h"
#include "app/gui_thread.h"
#include "app/platform/single_instance.h"
#include "device/replayer.h"
#include "eventlog/log_file.h"
#include "monitor/member_history.h"

#ifndef PXGUI_VERSION
#define PXGUI_VERSION "unknown"
#endif

namespace px::app {

namespace {

constexpr char kTitle[] = "Utitity v0.50.4";

std::string UsageLine(const CommandLineHelp& help) {
  std::string line = "usage: " + help.program;
  if (!help.usage.empty()) line += " " + help.usage;
  return line + " [" + kNoNotifications + "] [--help] [--version] [Qt options]\n";
}

// The toolkit's standard display of an exception: its text in a box titled
// with the application's name.
void ShowException(px::Messages* messages, const char* what) {
  if (messages != nullptr) {
    messages->Show(kTitle, what, px::MessageIcon::Error);
    return;
  }
  QMessageBox::critical(nullptr, QString::fromLatin1(kTitle), QString::fromUtf8(what));
}

// An exception from an event handler is shown and the program goes on, as
// the user expects of a window: a bad number typed into a dialog must not
// end the program.
class GuiApplication final : public QApplication {
 public:
  GuiApplication(int& argc, char** argv, px::Messages* messages)
      : QApplication(argc, argv), messages_(messages) {}

  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
      ShowException(messages_, error.what());
    } catch (...) {
      ShowException(messages_, "");
    }
    return false;
  }

 private:
  px::Messages* messages_;
};

void ShowAlreadyRunning(px::Messages* messages) {
  constexpr char kTitleMessage[] = "Message";
  constexpr char kText[] = "Application is running ...\n Please check again !!!";
  if (messages != nullptr) {
    messages->Show(kTitleMessage, kText, px::MessageIcon::None);
    return;
  }
  QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kTitleMessage),
                  QString::fromLatin1(kText), QMessageBox::Ok);
  box.exec();
}

// Takes the window's own option out of the arguments, so that the toolkit
// sees only its own. True when it was there.
bool TakeOption(int& argc, char** argv, const char* option) {
  bool found = false;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], option) == 0) {
      found = true;
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  argv[argc] = nullptr;
  return found;
}

int RunWindows(AppEnvironment& env, bool notifications) {
  QApplication::setApplicationName(QString::fromLatin1(kTitle));
  std::unique_ptr<px::Transport> transport = env.makeTransport();
  const std::filesystem::path logDirectory =
      env.logDirectory.empty() ? px::ChooseLogDirectory(std::filesystem::path(
                                     QCoreApplication::applicationDirPath().toStdU16String()))
                               : env.logDirectory;

  FormServices services;
  services.transport = transport.get();
  services.messages = env.messages;
  services.clock = env.clock;
  services.probeOrder = env.probeOrder;
  services.polledElsewhere = env.polledElsewhere;
  services.firmwareJobs = env.firmwareJobs;
  services.loggedElsewhere = env.loggedElsewhere;
  services.logDirectory = logDirectory;
  if (env.keepsHistory && !logDirectory.empty()) {
    services.historyFile = px::monitor::DefaultHistoryFile(logDirectory);
  }
  services.notifications = notifications;
  TForm1 form1(std::move(services));
  // Only the main window is built at start, so that it opens at once. The
  // GoTo and log windows are built fresh for each showing, and "Make Bin"
  // the first time Ctrl+Alt+M asks for it (TForm2::Open); it then stays, so
  // its sub-code table is still there the next time.
  form1.show();
  if (env.onStarted) env.onStarted(form1);
  QApplication::exec();
  return 0;
}

}  // namespace

std::optional<int> AnswerHelpOrVersion(int argc, char** argv, const CommandLineHelp& help) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf(
          "%s%s\n%s  %-22sraise no desktop notifications; the tray icon stays\n"
          "  %-22sshow this and exit\n  %-22sshow the version and exit\n"
          "Other options are the toolkit's (Qt), for example -platform NAME.\n",
          UsageLine(help).c_str(), help.summary.c_str(), help.options.c_str(), kNoNotifications,
          "--help", "--version");
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("%s %s\n", help.program.c_str(), PXGUI_VERSION);
      return 0;
    }
  }
  return std::nullopt;
}

int UsageError(const CommandLineHelp& help, const std::string& problem) {
  std::fprintf(stderr, "%s: %s\n%s", help.program.c_str(), problem.c_str(),
               UsageLine(help).c_str());
  return 2;
}

int RunApplication(int& argc, char** argv, AppEnvironment env) {
  const bool notifications = !TakeOption(argc, argv, kNoNotifications);
  std::optional<GuiApplication> app;
  if (QCoreApplication::instance() == nullptr) {
    app.emplace(argc, argv, env.messages);
    // The toolkit has taken its own options out; what is left is no one's.
    if (argc > 1) {
      const std::string argument = argv[1];
      return UsageError(
          env.help, (argument.rfind('-', 0) == 0 ? "unknown option '" : "unexpected argument '") +
                        argument + "'");
    }
  }

  SingleInstance instance("PX_GUI");
  if (!instance.acquired()) {
    ShowAlreadyRunning(env.messages);
    return 0;
  }
  try {
    RunWindows(env, notifications);
  } catch (const std::exception& error) {
    ShowException(env.messages, error.what());
  } catch (...) {
    ShowException(env.messages, "");
  }
  return 0;
}

void ReportReplayStops(px::Replayer& replayer, TForm1& form) {
  replayer.SetStopHandler([window = QPointer<TForm1>(&form)](const std::string& reason) {
    std::fprintf(stderr, "pxgui: replay stopped: %s\n", reason.c_str());
    // Looked at only on the window's thread, where the window is destroyed.
    PostToGuiThread(QCoreApplication::instance(), [window, reason] {
      if (window) {
        window->messages().Show("Message", "Replay stopped: " + reason,
                                px::MessageIcon::Information);
      }
    });
  });
}

}  // namespace px::app
