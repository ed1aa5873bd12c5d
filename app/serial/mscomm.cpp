#include "mscomm.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <QFile>
#include <QMetaObject>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "com_port_path.h"
#include "line_close.h"
#include "port_diagnosis.h"
#include "serial_settings.h"

namespace {

// Longest a close waits for the last frame to leave the line.
constexpr std::chrono::milliseconds kCloseDrainLimit{500};

QString quoted(const QString& text) {
  return QLatin1Char('"') + text + QLatin1Char('"');
}

// Why `path` could not be opened, as the message box says it; the
// control's own error text when the device opens now after all.
QString openFailureText(const QString& path, const QString& systemText) {
  using Cause = portmap::PortDiagnosis::Cause;
  const portmap::PortDiagnosis found =
      portmap::diagnosePort(QFile::encodeName(path).toStdString());
  switch (found.cause) {
    case Cause::kMissing:
      return QStringLiteral(
                 "Cannot open the serial port %1: the device does "
                 "not exist.")
          .arg(path);
    case Cause::kFolderShut:
      return QStringLiteral(
                 "Cannot open the serial port %1: you may not enter the "
                 "folder %2.")
          .arg(path, QFile::decodeName(found.folder.c_str()));
    case Cause::kNoPermission:
      if (found.advice.empty())
        return QStringLiteral("Permission denied opening %1.").arg(path);
      return QStringLiteral("Permission denied opening %1: %2.")
          .arg(path, QString::fromStdString(found.advice));
    case Cause::kInUse:
      return QStringLiteral("The serial port %1 is in use by another program.")
          .arg(path);
    case Cause::kNotATerminal:
      // A file or /dev/null fails when the line is configured.
      return QStringLiteral("Cannot open %1: it is not a serial port.")
          .arg(path);
    case Cause::kOther:
    case Cause::kNone: break;
  }
  return QStringLiteral("Cannot open the serial port %1: %2.")
      .arg(path, systemText);
}

bool isFatal(QSerialPort::SerialPortError error) {
  return error == QSerialPort::ReadError || error == QSerialPort::WriteError ||
         error == QSerialPort::ResourceError;
}

}  // namespace

struct CMSComm::FoundLine {
  termios settings;
};

CMSComm::CMSComm(QWidget* parent)
    : CMSComm(serialline::systemTerminalCalls(), parent) {}

CMSComm::CMSComm(serialline::TerminalCalls& calls, QWidget* parent)
    : QWidget(parent), m_calls(&calls) {
  setVisible(false);
  // Queued, so every arrival raises OnComm even while an OnComm handler
  // waits in a nested event loop (QSerialPort does not emit readyRead again
  // until its own emission has returned).
  connect(&m_port, &QSerialPort::readyRead, this, &CMSComm::onReadyRead,
          Qt::QueuedConnection);
  connect(&m_port, &QSerialPort::errorOccurred, this, &CMSComm::onPortError);
}

CMSComm::~CMSComm() {
  if (m_port.isOpen()) closeDevice();
}

void CMSComm::SetCommPort(short port) {
  if (m_port.isOpen()) {
    throw CommError(QStringLiteral(
        "Port already open: close it before choosing another port."));
  }
  m_commPort = port;
  m_devicePath.clear();
}

short CMSComm::GetCommPort() const { return m_commPort; }

void CMSComm::SetDevicePath(const QString& path) {
  if (m_port.isOpen()) {
    throw CommError(QStringLiteral(
        "Port already open: close it before choosing another port."));
  }
  m_devicePath = path;
}

QString CMSComm::GetDevicePath() const { return m_devicePath; }

void CMSComm::SetPortOpen(bool open) {
  if (!open) {
    if (m_port.isOpen()) closeDevice();
    return;
  }
  if (m_port.isOpen()) throw CommError(QStringLiteral("Port already open"));
  openDevice(devicePathToOpen());
}

bool CMSComm::GetPortOpen() const { return m_port.isOpen(); }

void CMSComm::SetSettings(const QString& settings) {
  const auto parsed = parseSerialSettings(settings);
  if (const auto* why = std::get_if<QString>(&parsed)) throw CommError(*why);
  const SerialSettings line = std::get<SerialSettings>(parsed);
  if (m_port.isOpen() && !applyToPort(line)) {
    const QString why = m_port.errorString();
    applyToPort(m_line);
    m_port.clearError();
    throw CommError(QStringLiteral("The serial port cannot use the settings "
                                   "%1: %2.")
                        .arg(quoted(settings), why));
  }
  m_line = line;
  m_settings = settings;
}

QString CMSComm::GetSettings() const { return m_settings; }

void CMSComm::SetOutput(const QByteArray& bytes) {
  if (!m_port.isOpen()) {
    throw CommError(
        QStringLiteral("Operation valid only when the port is open"));
  }
  // A failed write raises a port error, which closes the port and reports
  // it once; the bytes that fit are handed to the system in one write.
  if (m_port.write(bytes) == bytes.size()) m_port.flush();
}

QByteArray CMSComm::GetInput() {
  if (!m_port.isOpen()) {
    throw CommError(
        QStringLiteral("Operation valid only when the port is open"));
  }
  return m_port.readAll();
}

void CMSComm::DiscardInput() {
  if (m_port.isOpen()) m_port.clear(QSerialPort::Input);
}

short CMSComm::GetCommEvent() const { return m_commEvent; }

bool CMSComm::applyToPort(const SerialSettings& line) {
  // Every setter runs, so a failure in one still applies the others.
  bool ok = m_port.setBaudRate(line.baudRate);
  ok = m_port.setParity(line.parity) && ok;
  ok = m_port.setDataBits(line.dataBits) && ok;
  ok = m_port.setStopBits(line.stopBits) && ok;
  return ok;
}

QString CMSComm::devicePathToOpen() const {
  if (!m_devicePath.isEmpty()) return m_devicePath;
  // The library resolves numbers the same way, so both open one device.
  const portmap::Resolution port = portmap::resolvePort(m_commPort);
  if (!port.path) throw CommError(QString::fromStdString(port.message));
  return QFile::decodeName(port.path->c_str());
}

void CMSComm::openDevice(const QString& path) {
  // The lock comes before anything touches the port: a port another
  // program holds is not configured, made exclusive or released (its
  // exclusive mode cleared) by this control. The encoder library takes the
  // same advisory lock, so the two never share a port, whoever opens first.
  const QByteArray name = QFile::encodeName(path);
  const int lockFd =
      ::open(name.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (lockFd < 0) {
    throw CommError(
        openFailureText(path, QString::fromLocal8Bit(strerror(errno))));
  }
  if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
    ::close(lockFd);  // the last reference is the holder's: no hang-up
    throw CommError(
        QStringLiteral("The serial port %1 is in use by another program.")
            .arg(path));
  }
  termios found{};
  if (::tcgetattr(lockFd, &found) != 0) {
    const int error = errno;
    ::close(lockFd);
    throw CommError(
        openFailureText(path, QString::fromLocal8Bit(strerror(error))));
  }
  m_port.setPortName(path);
  applyToPort(m_line);  // stored now, applied by open()
  if (!m_port.open(QIODevice::ReadWrite)) {
    const QString systemText = m_port.errorString();
    m_port.clearError();
    ::close(lockFd);  // before the diagnosis, which takes the lock itself
    throw CommError(openFailureText(path, systemText));
  }
  m_lockFd = lockFd;
  m_foundLine = std::make_unique<FoundLine>(FoundLine{found});
  ++m_session;
  m_failing = false;
  m_openPath = path;
  // Bytes that waited on the line before the port was opened are stale.
  m_port.clear();
  // A pseudo-terminal has no modem lines and refuses DTR: not an error.
  m_port.setDataTerminalReady(true);
  m_port.clearError();
}

void CMSComm::closeDevice() {
  const int fd = static_cast<int>(m_port.handle());
  bool drained = false;
  if (!m_failing) {
    // The class's own buffer to the system, then the system's to the line:
    // the last frame reaches the device before DTR drops.
    m_port.waitForBytesWritten(static_cast<int>(kCloseDrainLimit.count()));
    drained = serialline::drainTransmitter(fd, kCloseDrainLimit, *m_calls);
  }
  m_port.setDataTerminalReady(false);
  // Put back once the output has drained; the serial port class puts the
  // same settings back again as it closes, by then with nothing leaving.
  if (!m_failing && m_foundLine)  // a device that went away has no line
    serialline::restoreSettings(fd, m_foundLine->settings, drained, *m_calls);
  m_port.close();
  m_port.clearError();
  ::close(m_lockFd);  // lets the port go to other programs
  m_lockFd = -1;
}

void CMSComm::onReadyRead() {
  if (!m_port.isOpen() || m_port.bytesAvailable() == 0) return;
  m_commEvent = comEvReceive;
  emit OnComm();
}

void CMSComm::onPortError(QSerialPort::SerialPortError error) {
  if (!isFatal(error) || !m_port.isOpen() || m_failing) return;
  // QSerialPort repeats the error for as long as the port stays open, but
  // closing it inside its own notification is not safe: close it from the
  // event loop, once.
  m_failing = true;
  const quint64 session = m_session;
  QMetaObject::invokeMethod(
      this, [this, session] { reportFailure(session); }, Qt::QueuedConnection);
}

void CMSComm::reportFailure(quint64 session) {
  if (session != m_session || !m_port.isOpen()) return;
  closeDevice();
  emit portFailed(QStringLiteral("The serial port %1 stopped working (the "
                                 "device was removed or disconnected) and "
                                 "has been closed.")
                      .arg(m_openPath));
}
