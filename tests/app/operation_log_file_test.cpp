// Where the operation log goes and how it is created: environment
// overrides, private folders and mode, emptied on every start with the
// earlier records kept as ".1", locked against a second program, and the
// failures that leave it closed.
#include "operation_log_file.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>

#include "app_test_support.h"

namespace {

QByteArray contentsOf(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
}

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

// Name and bytes of every regular file in `dir` (links followed).
QMap<QString, QByteArray> regularFilesIn(const QString& dir) {
  QMap<QString, QByteArray> files;
  for (const QFileInfo& info : QDir(dir).entryInfoList(QDir::Files)) {
    files[info.fileName()] = contentsOf(info.filePath());
  }
  return files;
}

}  // namespace

class OperationLogFileTest : public QObject {
  Q_OBJECT

 private slots:
  // Where the log lands for each setting of the environment (paths under a
  // scratch HOME; "-" unsets a variable), created with private folders and
  // a 0600 file; a folder that cannot be made leaves the log closed.
  void theLogLandsWhereTheEnvironmentSays_data() {
    QTest::addColumn<QString>("velmoraLog");
    QTest::addColumn<QString>("stateHome");
    QTest::addColumn<QString>("landsAt");
    QTest::addColumn<QStringList>("privateFolders");
    const QString inHome = "home/.local/state/velmora/magneticoperate.txt";
    const QStringList homeFolders{"home/.local/state",
                                  "home/.local/state/velmora"};
    QTest::newRow("nothing set: under HOME") << "-"
                                             << "-" << inHome << homeFolders;
    QTest::newRow("XDG_STATE_HOME") << "-"
                                    << "@state"
                                    << "state/velmora/magneticoperate.txt"
                                    << QStringList{"state", "state/velmora"};
    QTest::newRow("relative XDG_STATE_HOME is ignored")
        << "-"
        << "relative/state" << inHome << homeFolders;
    QTest::newRow("VELMORA_LOG before XDG_STATE_HOME")
        << "@elsewhere/log.txt"
        << "@state"
        << "elsewhere/log.txt" << QStringList{"elsewhere"};
    QTest::newRow("empty VELMORA_LOG counts as unset")
        << ""
        << "-" << inHome << homeFolders;
    QTest::newRow("a folder that cannot be made")
        << "-"
        << "@plain/state" << QString() << QStringList();
  }
  void theLogLandsWhereTheEnvironmentSays() {
    QFETCH(QString, velmoraLog);
    QFETCH(QString, stateHome);
    QFETCH(QString, landsAt);
    QFETCH(QStringList, privateFolders);
    QTemporaryDir root;
    QFile plain(root.filePath("plain"));  // a file where a folder would go
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    EnvironmentGuard guard({"VELMORA_LOG", "XDG_STATE_HOME", "HOME"});
    const auto set = [&](const char* name, const QString& value) {
      if (value == "-") {
        qunsetenv(name);
        return;
      }
      QString text = value;
      if (text.startsWith('@')) text = root.filePath(text.mid(1));
      qputenv(name, text.toLocal8Bit());
    };
    set("HOME", "@home");
    set("VELMORA_LOG", velmoraLog);
    set("XDG_STATE_HOME", stateHome);

    OperationLogFile log;
    FileError error;
    const bool opened = openCreateAlways(log, operationLogPath(), &error);
    if (landsAt.isEmpty()) {
      QVERIFY(!opened && !log.isOpen());
      QCOMPARE(error.osError, ENOTDIR);
      QCOMPARE(regularFilesIn(root.path()).keys(), QStringList{"plain"});
      return;
    }
    QVERIFY2(opened, qPrintable(describeFileError(error.osError)));
    QCOMPARE(log.fileName(), root.filePath(landsAt));
    QVERIFY(log.append("Write operation\r\n", nullptr));
    QCOMPARE(contentsOf(root.filePath(landsAt)),
             QByteArray("Write operation\r\n"));
    QCOMPARE(modeOf(root.filePath(landsAt)), 0600u);
    for (const QString& folder : privateFolders)
      QCOMPARE(modeOf(root.filePath(folder)), 0700u);
  }

  void anEarlierLogIsKeptAsDotOneAndTheLogStartsEmpty() {
    QTemporaryDir root;
    const QString path = root.filePath("log.txt");
    {
      QFile old(path);
      QVERIFY(old.open(QIODevice::WriteOnly));
      old.write("old records");
    }
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0644) == 0);
    OperationLogFile log;
    QVERIFY(openCreateAlways(log, path, nullptr));
    QCOMPARE(QFileInfo(path).size(), 0);
    QCOMPARE(modeOf(path), 0600u);
    // The records of a run that ended without a save are not lost.
    QCOMPARE(contentsOf(path + ".1"), QByteArray("old records"));
    QCOMPARE(modeOf(path + ".1"), 0600u);
    // After a save the log starts afresh under the lock it holds.
    QVERIFY(log.append("one record", nullptr));
    QVERIFY(log.startAfresh(nullptr));
    QCOMPARE(QFileInfo(path).size(), 0);
    OperationLogFile second;
    FileError error;
    QVERIFY(!openCreateAlways(second, path, &error));
    QCOMPARE(error.osError, EWOULDBLOCK);
    // A log deleted meanwhile is created again, and locked.
    QVERIFY(QFile::remove(path));
    QVERIFY(log.startAfresh(nullptr));
    QVERIFY(QFileInfo::exists(path));
    QVERIFY(!openCreateAlways(second, path, nullptr));
    // An empty log leaves the kept records alone.
    log.close();
    QVERIFY(openCreateAlways(log, path, nullptr));
    QCOMPARE(contentsOf(path + ".1"), QByteArray("old records"));
    // A second run that ends without a save adds its records after them.
    QVERIFY(log.append("newer records", nullptr));
    log.close();
    QVERIFY(openCreateAlways(log, path, nullptr));
    QCOMPARE(contentsOf(path + ".1"), QByteArray("old recordsnewer records"));
  }

  void anOpenThatFailsLeavesTheFileClosedAndSaysWhy() {
    QTemporaryDir root;
    const QString plainFile = root.filePath("plain");
    QFile blocker(plainFile);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    OperationLogFile log;
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
    OperationLogFile log;
    QVERIFY(openCreateAlways(log, path, nullptr));
    log.close();
    QVERIFY(QDir(root.filePath("gone")).removeRecursively());
    QVERIFY(openCreateAlways(log, path, nullptr));
    QVERIFY(QFileInfo::exists(path));
  }
  void unsafePlacesAreRefusedAndTheirFilesLeftWhole() {
    struct Row {
      const char* name;
      std::function<QString(const QTemporaryDir&)> prepare;  // the log path
      int expectedError;
    };
    const auto writeFile = [](const QString& path, const QByteArray& bytes) {
      QFile file(path);
      QVERIFY(file.open(QIODevice::WriteOnly));
      file.write(bytes);
    };
    OperationLogFile running;  // the log of a Velmora that runs
    const QList<Row> rows = {
        {"log of a Velmora that runs",
         [&](const QTemporaryDir& d) {
           const QString path = d.filePath("log.txt");
           if (openCreateAlways(running, path, nullptr)) {
             running.append("Write operation\r\nTrack 2 data:12345\r\n",
                            nullptr);
           }
           return path;
         },
         EWOULDBLOCK},
        {"link to another file",
         [&](const QTemporaryDir& d) {
           writeFile(d.filePath("precious"), "nineteen bytes here");
           ::chmod(QFile::encodeName(d.filePath("precious")), 0644);
           QFile::link(d.filePath("precious"), d.filePath("log.txt"));
           return d.filePath("log.txt");
         },
         ELOOP},
        {"fifo",
         [](const QTemporaryDir& d) {
           ::mkfifo(QFile::encodeName(d.filePath("log.txt")), 0600);
           return d.filePath("log.txt");
         },
         EINVAL},
        {"folder others may write to",
         [](const QTemporaryDir& d) {
           QDir(d.path()).mkdir("open");
           ::chmod(QFile::encodeName(d.filePath("open")), 0777);
           return d.filePath("open/log.txt");
         },
         EACCES},
        {"folder of another user",
         [](const QTemporaryDir& d) {
           QDir(d.path()).mkdir("theirs");
           // Only root can give a folder away; for anyone else the folder
           // is theirs and the row checks nothing new.
           if (::geteuid() == 0) {
             [[maybe_unused]] int r =
                 ::chown(QFile::encodeName(d.filePath("theirs")), 65534, -1);
           }
           return d.filePath("theirs/log.txt");
         },
         ::geteuid() == 0 ? EACCES : 0},
    };
    for (const Row& row : rows) {
      QTemporaryDir dir;
      const QString path = row.prepare(dir);
      const auto before = regularFilesIn(dir.path());
      OperationLogFile log;
      FileError error;
      const bool opened = openCreateAlways(log, path, &error);
      QVERIFY2(opened == (row.expectedError == 0), row.name);
      QCOMPARE(error.osError, row.expectedError);
      QCOMPARE(log.isOpen(), opened);
      if (!opened) QCOMPARE(regularFilesIn(dir.path()), before);
    }
    // The linked file kept its bytes and its mode.
    QTemporaryDir dir;
    rows[1].prepare(dir);
    OperationLogFile log;
    QVERIFY(!openCreateAlways(log, dir.filePath("log.txt"), nullptr));
    QCOMPARE(contentsOf(dir.filePath("precious")),
             QByteArray("nineteen bytes here"));
    QCOMPARE(modeOf(dir.filePath("precious")), 0644u);
  }

  void aRecordCutShortByAFullDiskIsTakenOutAgain() {
    QTemporaryDir dir;
    const QString path = dir.filePath("log.txt");
    OperationLogFile log;
    QVERIFY(openCreateAlways(log, path, nullptr));
    QVERIFY(log.append("Write operation\r\n", nullptr));
    // The file may grow to 24 bytes: the next record gets 7 of its 17 in.
    int osError = 0;
    const bool appended = [&] {
      FileSizeLimit small(24);
      return log.append("Write operation\r\n", &osError);
    }();
    QVERIFY(!appended);
    QCOMPARE(osError, EFBIG);
    QCOMPARE(contentsOf(path), QByteArray("Write operation\r\n"));
    // With room again the next record lands whole.
    QVERIFY(log.append("Read operation\r\n", nullptr));
    QCOMPARE(contentsOf(path),
             QByteArray("Write operation\r\nRead operation\r\n"));
  }

  void aSavedCopyIsWholeOrNothing() {
    QTemporaryDir dir;
    const QString logPath = dir.filePath("log.txt");
    OperationLogFile log;
    QVERIFY(openCreateAlways(log, logPath, nullptr));
    QVERIFY(log.append("Read operation\r\nTrack 2 data:123\r\n", nullptr));
    const QByteArray records = contentsOf(logPath);
    QVERIFY(QDir(dir.path()).mkdir("x.txt"));
    {
      QFile old(dir.filePath("old.txt"));
      QVERIFY(old.open(QIODevice::WriteOnly));
      old.write("older");
    }
    QFile::link(logPath, dir.filePath("alias.txt"));
    struct Row {
      QString target;
      int expectedError;                     // 0: saved
      rlim_t fileSizeLimit = RLIM_INFINITY;  // a small one is a full disk
    };
    const QList<Row> rows = {
        // The disk fills half-way through the copy: the old file stays.
        {dir.filePath("old.txt"), EFBIG, 10},
        {dir.filePath("new.txt"), 0},
        {dir.filePath("old.txt"), 0},  // replaced
        {logPath, EEXIST},             // the running log itself
        {dir.filePath("alias.txt"), EEXIST},
        {dir.filePath("x.txt"), EISDIR},
        {dir.filePath("missing/ops.txt"), ENOENT},
    };
    for (const Row& row : rows) {
      const QByteArray before = contentsOf(row.target);
      int osError = 0;
      const bool saved = [&] {
        FileSizeLimit limit(row.fileSizeLimit);
        return saveCopyOf(log.handle(), row.target, &osError);
      }();
      QCOMPARE(saved, row.expectedError == 0);
      QCOMPARE(osError, row.expectedError);
      if (row.expectedError == 0) {
        QCOMPARE(contentsOf(row.target), records);
        QCOMPARE(modeOf(row.target), 0600u);
      } else {
        QCOMPARE(contentsOf(row.target), before);
      }
    }
    QVERIFY(QFileInfo(dir.filePath("x.txt")).isDir());
    QCOMPARE(contentsOf(logPath), records);
    // No temporary file is left behind by the failures.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::System).size(), 4);
  }
};

QTEST_MAIN(OperationLogFileTest)
#include "operation_log_file_test.moc"
