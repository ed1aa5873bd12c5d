#include "string_table.h"

#include <array>
#include <utility>

#include "resource_ids.h"

namespace {

constexpr int kLoadBufferChars = 256;
constexpr int kToolTipFieldChars = 80;

// "prompt\ntooltip": the prompt would go to a status bar, which the main
// dialog does not have, and the tooltip to the button.
const std::array<std::pair<int, const char*>, 7> kStrings{{
    {ids::kAboutString, "关于 Velmora(&A)..."},
    {ids::kToolTogglePort,
     "Open the serial port or close it\nOpen or close serial port"},
    {ids::kToolReset, "\nReset"},
    {ids::kToolReadCard, "\nRead Magnetic Card"},
    {ids::kToolWriteCard, "\n Write Magnetic Card"},
    {ids::kToolEraseCard, "\nErase  information of Magnetic card"},
    {ids::kToolSaveLog, "\nSave operation log"},
}};

}  // namespace

QString loadResourceString(int id) {
  for (const auto& [stringId, text] : kStrings) {
    if (stringId == id) {
      return QString::fromUtf8(text).left(kLoadBufferChars - 1);
    }
  }
  return {};
}

QString extractSubString(const QString& text, int index) {
  qsizetype start = 0;
  for (int i = 0; i < index; ++i) {
    start = text.indexOf(QLatin1Char('\n'), start);
    if (start < 0) return {};
    ++start;
  }
  const qsizetype end = text.indexOf(QLatin1Char('\n'), start);
  return end < 0 ? text.mid(start) : text.mid(start, end - start);
}

QString toolTipText(int id) {
  if (id == 0) return {};
  return extractSubString(loadResourceString(id), 1)
      .left(kToolTipFieldChars - 1);
}
