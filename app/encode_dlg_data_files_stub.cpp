// Data files are not read by this version of the program yet.
#include "encode_dlg.h"

void CEncodeDlg::AdvanceDataFiles() {}
