// The serial control's settings text, "baud,parity,data bits,stop bits"
// such as "9600,n,8,1", read into the line settings it stands for.
#pragma once

#include <QSerialPort>
#include <QString>
#include <variant>

struct SerialSettings {
  qint32 baudRate = 9600;
  QSerialPort::Parity parity = QSerialPort::NoParity;
  QSerialPort::DataBits dataBits = QSerialPort::Data8;
  QSerialPort::StopBits stopBits = QSerialPort::OneStop;
  friend bool operator==(const SerialSettings&,
                         const SerialSettings&) = default;
};

/// The settings, or the reason the text is refused, worded for a message
/// box ("Invalid settings "9600,x,8,1": invalid parity 'x' (...).").
/// Whitespace around a field is ignored; the baud rate is ASCII digits
/// from 1 to INT_MAX; parity is one of n, e, o, m, s in either case.
[[nodiscard]] std::variant<SerialSettings, QString> parseSerialSettings(
    const QString& settings);
