// Velmora's data-file line reader: whatever the bytes, the lines it gives
// are those of a plain model (split at LF, one CR before each LF dropped,
// nothing after a final LF, a stop at the first line over the bound), and
// no line is longer than the bound.
#include <QBuffer>
#include <QList>
#include <cstddef>
#include <cstdint>

#include "data_file_reader.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 1) return 0;
  const qsizetype maxBytes = data[0] % 64 + 1;
  QByteArray content(reinterpret_cast<const char*>(data + 1),
                     static_cast<qsizetype>(size - 1));

  QList<QByteArray> pieces = content.split('\n');
  const bool finalLf = content.endsWith('\n');
  if (finalLf || content.isEmpty()) pieces.removeLast();

  QBuffer buffer(&content);
  FUZZ_CHECK(buffer.open(QIODevice::ReadOnly));
  for (qsizetype i = 0;; ++i) {
    const DataFileLine line = readDataFileLine(buffer, maxBytes);
    if (i == pieces.size()) {
      FUZZ_CHECK(line.kind == DataFileLine::Kind::End);
      break;
    }
    QByteArray expected = pieces[i];
    if ((i + 1 < pieces.size() || finalLf) && expected.endsWith('\r')) {
      expected.chop(1);
    }
    if (expected.size() > maxBytes) {
      FUZZ_CHECK(line.kind == DataFileLine::Kind::TooLong);
      break;
    }
    FUZZ_CHECK(line.kind == DataFileLine::Kind::Line);
    FUZZ_CHECK(line.text == expected);
    FUZZ_CHECK(line.text.size() <= maxBytes);
  }
  return 0;
}
