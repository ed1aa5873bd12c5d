#include "main_dialog_template.h"

#include <array>

#include "resource_ids.h"

namespace {

using K = ControlKind;
constexpr int kNone = kNoControlId;

const std::array<ControlTemplate, 33> kControls{{
    {kNone, K::GroupBox, "           ", {12, 9, 319, 89}},
    {kNone, K::GroupBox, "  ", {13, 103, 320, 84}},
    {kNone, K::GroupBox, " ", {10, 197, 324, 82}},
    {ids::kTrack1Check,
     K::CheckBox,
     "TRACK I DATA LENGTH(76)",
     {16, 9, 108, 10}},
    {ids::kHighCoercivityRadio,
     K::RadioButton,
     "Set High coercivity Card",
     {155, 0, 112, 10}},
    {ids::kLowCoercivityRadio,
     K::RadioButton,
     "Set Low coercivity card",
     {271, 0, 108, 10}},
    {ids::kTrack2Check,
     K::CheckBox,
     "TRACK II DATA LENGTH(37/104)",
     {16, 104, 128, 10}},
    {ids::kTrack3Check,
     K::CheckBox,
     "TRACK III DATA LENGTH(104)",
     {13, 197, 121, 10}},
    {ids::kTrack1Edit, K::MultiLineEdit, "", {17, 51, 306, 39}},
    {ids::kTrack2Edit, K::TrackEdit, "", {18, 142, 307, 39}},
    {ids::kTrack3Edit, K::TrackEdit, "", {16, 235, 310, 37}},
    {ids::kSerialControl, K::SerialControl, "", {330, 182, 25, 25}},
    {ids::kStatus1, K::StaticLeft, "Status", {15, 283, 139, 8}},
    {ids::kStatus2, K::StaticLeft, "Status", {174, 282, 149, 10}},
    {ids::kCount1, K::StaticLeft, "0 byte", {333, 49, 36, 8}},
    {ids::kCount2, K::StaticLeft, "0 byte", {335, 142, 39, 8}},
    {ids::kCount3, K::StaticLeft, "0 byte", {337, 234, 36, 8}},
    {kNone, K::StaticLeft, "Step", {160, 23, 17, 8}},
    {ids::kStep1Edit, K::NumberEdit, "", {154, 35, 32, 14}},
    {ids::kFromFile1Check, K::CheckBox, "Read From File", {189, 37, 70, 10}},
    {ids::kOpenFile1Button, K::PushButton, "Open", {262, 36, 21, 14}},
    {ids::kAutoInc1Check,
     K::CheckBox,
     "Write Track 1  Auto increment",
     {17, 36, 132, 10}},
    {ids::kAutoInc2Check,
     K::CheckBox,
     "Write Track 2  Auto increment",
     {19, 127, 132, 10}},
    {ids::kStep2Edit, K::NumberEdit, "", {154, 126, 30, 14}},
    {kNone, K::StaticLeft, "Step", {159, 116, 17, 8}},
    {ids::kFromFile2Check, K::CheckBox, "Read From File", {188, 127, 69, 10}},
    {ids::kOpenFile2Button, K::PushButton, "open", {258, 126, 24, 14}},
    {ids::kFromFile3Check, K::CheckBox, "Read From File", {186, 222, 72, 10}},
    {ids::kStep3Edit, K::NumberEdit, "", {150, 221, 32, 14}},
    {ids::kAutoInc3Check,
     K::CheckBox,
     "Write Track 3   Auto increment",
     {16, 222, 133, 10}},
    {kNone, K::StaticLeft, "Step", {157, 211, 17, 8}},
    {ids::kOpenFile3Button, K::PushButton, "Open", {257, 220, 24, 14}},
    {ids::kTimeDisplay, K::StaticCentered, "Time:\n00 Sec", {323, 280, 57, 23}},
}};

}  // namespace

std::span<const ControlTemplate> mainDialogTemplate() { return kControls; }
