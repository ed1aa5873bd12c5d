// The serial control's settings text, against a plain model of the four
// fields; what is accepted reads back the same when written out again.
#include <QStringList>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "fuzz_check.h"
#include "serial_settings.h"

namespace {

QString trimmedModel(const QString& text) {
  qsizetype from = 0;
  qsizetype to = text.size();
  while (from < to && text[from].isSpace()) ++from;
  while (to > from && text[to - 1].isSpace()) --to;
  return text.mid(from, to - from);
}

std::optional<qint32> baudModel(const QString& field) {
  if (field.isEmpty()) return {};
  qint64 value = 0;
  for (const QChar c : field) {
    if (c.unicode() < '0' || c.unicode() > '9') return {};
    value = value * 10 + (c.unicode() - '0');
    if (value > INT_MAX) return {};
  }
  if (value < 1) return {};
  return static_cast<qint32>(value);
}

std::optional<SerialSettings> model(const QString& text) {
  const QStringList fields = text.split(u',');
  if (fields.size() != 4) return {};
  SerialSettings line;
  const auto baud = baudModel(trimmedModel(fields[0]));
  if (!baud) return {};
  line.baudRate = *baud;
  const QString parity = trimmedModel(fields[1]);
  const QString parities = QStringLiteral("nNeEoOmMsS");
  const QSerialPort::Parity values[] = {
      QSerialPort::NoParity, QSerialPort::EvenParity, QSerialPort::OddParity,
      QSerialPort::MarkParity, QSerialPort::SpaceParity};
  if (parity.size() != 1 || !parities.contains(parity[0])) return {};
  line.parity = values[parities.indexOf(parity[0]) / 2];
  const QString data = trimmedModel(fields[2]);
  if (data.size() != 1 || data[0] < u'5' || data[0] > u'8') return {};
  line.dataBits = static_cast<QSerialPort::DataBits>(data[0].unicode() - '0');
  const QString stop = trimmedModel(fields[3]);
  if (stop == QLatin1String("1"))
    line.stopBits = QSerialPort::OneStop;
  else if (stop == QLatin1String("2"))
    line.stopBits = QSerialPort::TwoStop;
  else
    return {};
  return line;
}

QString written(const SerialSettings& line) {
  const char parity[] = {'n', '?', 'e', 'o', 's', 'm'};
  return QStringLiteral("%1,%2,%3,%4")
      .arg(line.baudRate)
      .arg(QLatin1Char(parity[line.parity]))
      .arg(static_cast<int>(line.dataBits))
      .arg(static_cast<int>(line.stopBits));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data),
                                         static_cast<qsizetype>(size));
  const auto parsed = parseSerialSettings(text);
  const auto expected = model(text);
  const auto* line = std::get_if<SerialSettings>(&parsed);
  FUZZ_CHECK((line != nullptr) == expected.has_value());
  if (line) {
    FUZZ_CHECK(*line == *expected);
    const auto again = parseSerialSettings(written(*line));
    FUZZ_CHECK(std::get_if<SerialSettings>(&again) &&
               std::get<SerialSettings>(again) == *line);
  } else {
    const QString& why = std::get<QString>(parsed);
    FUZZ_CHECK(why.startsWith(QLatin1String("Invalid settings \"") + text +
                              QLatin1String("\": ")));
    FUZZ_CHECK(why.endsWith(u'.'));
  }
  return 0;
}
