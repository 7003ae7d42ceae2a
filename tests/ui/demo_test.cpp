// `kelvora --demo` ended by SIGTERM or Ctrl-C goes through its clean-up: the
// simulator stops and the folder of its settings goes; a start removes the
// folders that demos which were killed left behind.
#include <signal.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "net/temp_files.h"
#include "support/fixtures.h"

using namespace kelvora;

namespace {

const TempNamePattern kDemoFolders{"kelvora-demo-", "", true, true};

QString DemoFolderName(qint64 pid, const char* tag) {
  return QString::fromStdString(TempName(kDemoFolders, static_cast<pid_t>(pid), tag));
}

}  // namespace

class DemoTest : public QObject {
  Q_OBJECT

 private slots:
  void stopSignalRemovesTheFolderAndLeftoversGoAtStart_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
  }

  void stopSignalRemovesTheFolderAndLeftoversGoAtStart() {
    QFETCH(int, signal);
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QDir tempDir(temp.path());
    // What a killed demo left, and the folder of a demo still running (ours).
    const QString stale = DemoFolderName(test::EndedProcessId(), "AbC123");
    const QString running = DemoFolderName(QCoreApplication::applicationPid(), "AbC123");
    QVERIFY(tempDir.mkpath(stale + QStringLiteral("/inner")));
    QVERIFY(tempDir.mkdir(running));
    test::WriteFile(tempDir.filePath(stale + QStringLiteral("/kelvora.ini")).toStdString(), "[http]\n");

    QProcess demo;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), temp.path());
    demo.setProcessEnvironment(env);
    demo.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    demo.start(QStringLiteral(KELVORA_BIN_DIR "/kelvora"), {QStringLiteral("--demo")});
    QVERIFY(demo.waitForStarted(5000));

    // The simulator has written its settings: the demo is up, waiting at sign-in.
    const QString prefix = DemoFolderName(demo.processId(), "");  // "kelvora-demo-PID-"
    QString ours;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
          const QStringList found = tempDir.entryList({prefix + QStringLiteral("*")}, QDir::Dirs);
          if (found.size() != 1 || !QFile::exists(tempDir.filePath(found[0] + QStringLiteral("/kelvora.ini"))))
            return false;
          ours = found[0];
          return true;
        }(),
        20000);
    QVERIFY(!tempDir.exists(stale));
    QVERIFY(tempDir.exists(running));
    QTest::qWait(500);

    ::kill(static_cast<pid_t>(demo.processId()), signal);
    QVERIFY(demo.waitForFinished(10000));
    QCOMPARE(demo.exitStatus(), QProcess::NormalExit);
    QCOMPARE(demo.exitCode(), 128 + signal);
    QVERIFY2(!tempDir.exists(ours), qPrintable(ours));
    QVERIFY(tempDir.exists(running));
  }
};

QTEST_MAIN(DemoTest)
#include "demo_test.moc"
