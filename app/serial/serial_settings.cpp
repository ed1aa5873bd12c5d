#include "serial_settings.h"

#include <QStringList>
#include <climits>
#include <cstddef>
#include <optional>

namespace {

// Why a field is refused, or nothing when it was read into `out`.
using Refusal = std::optional<QString>;

Refusal readBaudRate(const QString& field, qint32& out) {
  bool digitsOnly = !field.isEmpty();
  for (const QChar c : field)
    digitsOnly = digitsOnly && c >= u'0' && c <= u'9';  // ASCII digits only
  bool fits = false;
  const qlonglong value = digitsOnly ? field.toLongLong(&fits) : 0;
  if (!digitsOnly || !fits || value < 1 || value > INT_MAX) {
    return QStringLiteral(
               "invalid baud rate '%1' (a positive whole number "
               "such as 9600 is needed)")
        .arg(field);
  }
  out = static_cast<qint32>(value);
  return {};
}

template <typename T>
struct Choice {
  const char* text;
  T value;
};

// The value whose text the field is, if any.
template <typename T, std::size_t N>
bool pick(const QString& field, const Choice<T> (&choices)[N], T& out) {
  for (const Choice<T>& choice : choices) {
    if (field == QLatin1String(choice.text)) {
      out = choice.value;
      return true;
    }
  }
  return false;
}

constexpr Choice<QSerialPort::Parity> kParities[] = {
    {"n", QSerialPort::NoParity},
    {"e", QSerialPort::EvenParity},
    {"o", QSerialPort::OddParity},
    {"m", QSerialPort::MarkParity},
    {"s", QSerialPort::SpaceParity}};
// Four data bits existed on old hardware; no Linux serial port has them.
constexpr Choice<QSerialPort::DataBits> kDataBits[] = {
    {"5", QSerialPort::Data5},
    {"6", QSerialPort::Data6},
    {"7", QSerialPort::Data7},
    {"8", QSerialPort::Data8}};
constexpr Choice<QSerialPort::StopBits> kStopBits[] = {
    {"1", QSerialPort::OneStop}, {"2", QSerialPort::TwoStop}};

Refusal readParity(const QString& field, QSerialPort::Parity& out) {
  if (pick(field.toLower(), kParities, out)) return {};
  return QStringLiteral("invalid parity '%1' (use n, e, o, m or s)").arg(field);
}

Refusal readDataBits(const QString& field, QSerialPort::DataBits& out) {
  if (pick(field, kDataBits, out)) return {};
  return QStringLiteral("invalid data bits '%1' (use 5, 6, 7 or 8)").arg(field);
}

Refusal readStopBits(const QString& field, QSerialPort::StopBits& out) {
  if (pick(field, kStopBits, out)) return {};
  // termios has one or two stop bits, nothing in between.
  if (field == QLatin1String("1.5")) {
    return QStringLiteral(
        "1.5 stop bits are not supported by serial ports "
        "on this system (use 1 or 2)");
  }
  return QStringLiteral("invalid stop bits '%1' (use 1 or 2)").arg(field);
}

}  // namespace

std::variant<SerialSettings, QString> parseSerialSettings(
    const QString& settings) {
  const auto refused = [&](const QString& why) {
    return QStringLiteral("Invalid settings \"%1\": %2.").arg(settings, why);
  };
  const QStringList fields = settings.split(QLatin1Char(','));
  if (fields.size() != 4) {
    return refused(
        QStringLiteral("four fields are needed, baud rate, parity, data "
                       "bits and stop bits, such as \"9600,n,8,1\""));
  }
  SerialSettings line;
  Refusal why = readBaudRate(fields[0].trimmed(), line.baudRate);
  if (!why) why = readParity(fields[1].trimmed(), line.parity);
  if (!why) why = readDataBits(fields[2].trimmed(), line.dataBits);
  if (!why) why = readStopBits(fields[3].trimmed(), line.stopBits);
  if (why) return refused(*why);
  return line;
}
