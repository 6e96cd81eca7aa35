// pxgui and pxgui-demo as built, on their command line: --help and --version
// answer and end without a window, an argument that neither the program nor
// the toolkit takes ends with the usage and exit status 2, and the toolkit's
// own options are still the toolkit's.

#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include "support/private_runtime.h"

class CommandLineTest : public QObject {
  Q_OBJECT

 private slots:
  // A window that opened by mistake must not meet a copy the developer runs.
  void initTestCase() { px::test::UsePrivateRuntimeDirectory(); }

  void AnswersAndEnds_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");  // how standard output begins
    QTest::addColumn<QString>("err");  // what standard error holds
    // Without a display the toolkit cannot start: what is answered before it
    // gets none. The others run on the offscreen platform.
    QTest::addColumn<bool>("display");
    for (const QString& program : {QStringLiteral(PXGUI_EXE), QStringLiteral(PXGUI_DEMO_EXE)}) {
      const QString name = QFileInfo(program).fileName();
      const QString usage = QStringLiteral("usage: ") + name + QLatin1Char(' ');
      QTest::addRow("%s --help", qPrintable(name))
          << program << QStringList{QStringLiteral("--help")} << 0 << usage << QString() << false;
      QTest::addRow("%s --version", qPrintable(name))
          << program << QStringList{QStringLiteral("--version")} << 0
          << name + QStringLiteral(" 0.50.4\n") << QString() << false;
      QTest::addRow("%s --bogus", qPrintable(name))
          << program << QStringList{QStringLiteral("--bogus")} << 2 << QString()
          << name + QStringLiteral(": unknown option '--bogus'\n") + usage << true;
      QTest::addRow("%s, an argument", qPrintable(name))
          << program << QStringList{QStringLiteral("extra")} << 2 << QString()
          << name + QStringLiteral(": unexpected argument 'extra'\n") << true;
      // The toolkit takes its own, and only what is left is refused.
      QTest::addRow("%s -platform offscreen --bogus", qPrintable(name))
          << program
          << QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen"),
                         QStringLiteral("--bogus")}
          << 2 << QString() << name + QStringLiteral(": unknown option '--bogus'\n") << true;
    }
    QTest::newRow("pxgui --record without its file")
        << QStringLiteral(PXGUI_EXE) << QStringList{QStringLiteral("--record")} << 2 << QString()
        << QStringLiteral("pxgui: --record needs a FILE\n") << false;
  }

  void AnswersAndEnds() {
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(bool, display);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
      environment.remove(QString::fromLatin1(name));
    if (display) environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    // A generous bound: a window that opened would run until it is closed.
    const bool ended = process.waitForFinished(60000);
    if (!ended) {
      process.kill();
      process.waitForFinished();
    }
    QVERIFY2(ended, "it did not end: it opened the window");
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    const QString said = QString::fromUtf8(process.readAllStandardOutput());
    const QString complained = QString::fromUtf8(process.readAllStandardError());
    if (out.isEmpty()) {
      QCOMPARE(said, QString());
    } else {
      QVERIFY2(said.startsWith(out), qPrintable(said));
    }
    if (err.isEmpty()) {
      QCOMPARE(complained, QString());
    } else {
      QVERIFY2(complained.contains(err), qPrintable(complained));
    }
  }
};

QTEST_MAIN(CommandLineTest)
#include "command_line_test.moc"
