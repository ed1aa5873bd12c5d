// The serial control of the main dialog (control 1010): the program's only
// way to the port. Properties as the call sites use them: CommPort,
// PortOpen, Settings, Output, Input, CommEvent, and the OnComm event raised
// with CommEvent 2 when bytes arrive. A call the control rejects throws
// CommError, whose text is meant for a message box.
#pragma once

#include <QByteArray>
#include <QSerialPort>
#include <QString>
#include <QWidget>
#include <memory>
#include <stdexcept>

#include "serial_settings.h"

namespace serialline {
class TerminalCalls;
}

class CommError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  explicit CommError(const QString& text)
      : std::runtime_error(text.toStdString()) {}
};

class CMSComm : public QWidget {
  Q_OBJECT

 public:
  /// CommEvent after bytes arrived.
  static constexpr short comEvReceive = 2;
  static constexpr const char* kInitialSettings = "9600,n,8,1";

  /// Hidden: the control has no face at run time.
  explicit CMSComm(QWidget* parent = nullptr);
  /// ... closing its port through `calls` (which must outlive the
  /// control), so that a test can see the order of a close.
  explicit CMSComm(serialline::TerminalCalls& calls, QWidget* parent = nullptr);
  ~CMSComm() override;  ///< releases the port

  /// Any number is stored; one outside 1..255 is refused when the port is
  /// opened, so a failed open leaves the number given here in place.
  /// Throws while the port is open.
  void SetCommPort(short port);
  [[nodiscard]] short GetCommPort() const;
  /// A device path used instead of CommPort until the next SetCommPort.
  /// Throws while the port is open.
  void SetDevicePath(const QString& path);
  [[nodiscard]] QString GetDevicePath() const;

  /// TRUE opens the port with the current Settings, FALSE closes it (and
  /// closing a closed port does nothing). Opening throws for a port number
  /// out of range, a device that does not exist, is in use or may not be
  /// opened, and when the port is already open.
  void SetPortOpen(bool open);
  [[nodiscard]] bool GetPortOpen() const;

  /// "baud,parity,data,stop", e.g. "9600,n,8,1": baud a positive whole
  /// number, parity n/e/o/m/s, data bits 5 to 8, stop bits 1 or 2. Applied
  /// at once when the port is open. A text that cannot be taken throws and
  /// leaves the settings as they were.
  void SetSettings(const QString& settings);
  [[nodiscard]] QString GetSettings() const;

  /// Sends the bytes unchanged, in one call. Throws when the port is
  /// closed.
  void SetOutput(const QByteArray& bytes);
  /// All bytes received since the last call, in arrival order.
  [[nodiscard]] QByteArray GetInput();
  /// Drops every byte received and not yet taken, the system's included
  /// (InBufferCount set to 0). Does nothing when the port is closed.
  void DiscardInput();
  /// The last communication event: comEvReceive once bytes arrived, 0
  /// before.
  [[nodiscard]] short GetCommEvent() const;

 signals:
  /// Bytes arrived; CommEvent reads comEvReceive.
  void OnComm();
  /// The open port failed (the device went away). Raised once; the
  /// control has closed the port by then.
  void portFailed(const QString& text);

 private:
  bool applyToPort(const SerialSettings& line);
  QString devicePathToOpen() const;
  void openDevice(const QString& path);
  void closeDevice();
  void onReadyRead();
  void onPortError(QSerialPort::SerialPortError error);
  void reportFailure(quint64 session);

  QSerialPort m_port;
  serialline::TerminalCalls* m_calls;
  short m_commPort = 1;
  QString m_devicePath;
  QString m_settings = QString::fromLatin1(kInitialSettings);
  SerialSettings m_line;
  short m_commEvent = 0;
  int m_lockFd = -1;  // holds the port's lock while it is open
  struct FoundLine;   // the line's settings before the open (kept
                      // apart: <termios.h> clashes with termios2)
  std::unique_ptr<FoundLine> m_foundLine;
  QString m_openPath;      // the device of the current opening
  quint64 m_session = 0;   // counts opens, so a late failure report of an
                           // earlier opening is dropped
  bool m_failing = false;  // a fatal error of this opening is being reported
};
