// Where the operation log goes and how it is created: environment
// overrides, private folders and mode, emptied on every start, and the
// failures that leave it closed.
#include <sys/stat.h>

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include "operation_log_file.h"

namespace {

unsigned modeOf(const QString& path) {
  struct stat info {};
  if (::stat(QFile::encodeName(path).constData(), &info) != 0) return 0;
  return info.st_mode & 0777;
}

// Sets or clears environment variables for one test and restores them.
class EnvironmentGuard {
 public:
  explicit EnvironmentGuard(QList<QByteArray> names)
      : m_names(std::move(names)) {
    for (const QByteArray& name : m_names) {
      m_saved << (qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name))
                                                  : std::nullopt);
    }
  }
  ~EnvironmentGuard() {
    for (int i = 0; i < m_names.size(); ++i) {
      if (m_saved[i]) {
        qputenv(m_names[i], *m_saved[i]);
      } else {
        qunsetenv(m_names[i]);
      }
    }
  }

 private:
  QList<QByteArray> m_names;
  QList<std::optional<QByteArray>> m_saved;
};

}  // namespace

class OperationLogFileTest : public QObject {
  Q_OBJECT

 private slots:
  void thePathFollowsTheEnvironment() {
    EnvironmentGuard guard({"VELMORA_LOG", "XDG_STATE_HOME", "HOME"});
    qputenv("HOME", "/home/operator");
    qunsetenv("VELMORA_LOG");
    qunsetenv("XDG_STATE_HOME");
    QCOMPARE(
        operationLogPath(),
        QString("/home/operator/.local/state/velmora/magneticoperate.txt"));
    qputenv("XDG_STATE_HOME", "/var/state-of-operator");
    QCOMPARE(operationLogPath(),
             QString("/var/state-of-operator/velmora/magneticoperate.txt"));
    // A relative state folder is not valid and is ignored.
    qputenv("XDG_STATE_HOME", "relative/state");
    QCOMPARE(
        operationLogPath(),
        QString("/home/operator/.local/state/velmora/magneticoperate.txt"));
    qputenv("VELMORA_LOG", "/tmp/elsewhere.txt");
    QCOMPARE(operationLogPath(), QString("/tmp/elsewhere.txt"));
    qputenv("VELMORA_LOG", "");  // empty counts as not set
    QCOMPARE(
        operationLogPath(),
        QString("/home/operator/.local/state/velmora/magneticoperate.txt"));
  }

  void missingFoldersAreCreatedPrivateAndTheFileIs0600() {
    QTemporaryDir root;
    EnvironmentGuard guard({"VELMORA_LOG", "XDG_STATE_HOME"});
    qunsetenv("VELMORA_LOG");
    qputenv("XDG_STATE_HOME", root.filePath("state").toLocal8Bit());
    const QString path = operationLogPath();
    QFile log;
    FileError error;
    QVERIFY(openCreateAlways(log, path, &error));
    QVERIFY(!error.failed());
    QVERIFY(log.isOpen());
    QCOMPARE(modeOf(root.filePath("state")), 0700u);
    QCOMPARE(modeOf(root.filePath("state/velmora")), 0700u);
    QCOMPARE(modeOf(path), 0600u);
    // Read and write access.
    QCOMPARE(log.write("Write operation\r\n"), qint64(17));
    QVERIFY(log.seek(0));
    QCOMPARE(log.readAll(), QByteArray("Write operation\r\n"));
  }

  void anExistingLogIsEmptiedAndMadePrivate() {
    QTemporaryDir root;
    const QString path = root.filePath("log.txt");
    {
      QFile old(path);
      QVERIFY(old.open(QIODevice::WriteOnly));
      old.write("old records");
    }
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0644) == 0);
    QFile log;
    QVERIFY(openCreateAlways(log, path, nullptr));
    QCOMPARE(log.size(), 0);
    QCOMPARE(modeOf(path), 0600u);
    // Opening again while open starts afresh, as after a save.
    log.write("one record");
    QVERIFY(openCreateAlways(log, path, nullptr));
    QCOMPARE(QFileInfo(path).size(), 0);
  }

  void anOpenThatFailsLeavesTheFileClosedAndSaysWhy() {
    QTemporaryDir root;
    const QString plainFile = root.filePath("plain");
    QFile blocker(plainFile);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    QFile log;
    FileError error;
    QVERIFY(!openCreateAlways(log, plainFile + "/log.txt", &error));
    QVERIFY(!log.isOpen());
    QVERIFY(error.failed());
    QCOMPARE(error.osError, ENOTDIR);
    QCOMPARE(error.fileName, plainFile + "/log.txt");

    // A folder in the place of the file.
    QVERIFY(QDir(root.path()).mkdir("folder"));
    QVERIFY(!openCreateAlways(log, root.filePath("folder"), &error));
    QCOMPARE(error.osError, EISDIR);

    QVERIFY(!openCreateAlways(log, QString(), &error));
    QVERIFY(error.failed());
  }

  void aLogWhoseFolderVanishesIsCreatedAgain() {
    QTemporaryDir root;
    const QString path = root.filePath("gone/velmora/log.txt");
    QFile log;
    QVERIFY(openCreateAlways(log, path, nullptr));
    log.close();
    QVERIFY(QDir(root.filePath("gone")).removeRecursively());
    QVERIFY(openCreateAlways(log, path, nullptr));
    QVERIFY(QFileInfo::exists(path));
  }
};

QTEST_MAIN(OperationLogFileTest)
#include "test_operation_log_file.moc"
