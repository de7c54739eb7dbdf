// What the operator reads about a HEX load: the refusal box text and the log lines of a load
// that went through with remarks.
#pragma once

#include "image/HexImage.h"

#include <QString>

// The message box text that refuses a load for st.Error; empty when there is none.
QString HexLoadErrorText(const HexLoadState& st);
// Why st.Error refused the load, as a phrase for a log line ("line 3 is damaged"); empty when
// there is no error.
QString HexRefusalReason(const HexLoadState& st);

// The log lines a successful load leaves: skipped bytes, wrong checksums. Empty when neither.
QString HexSkippedText(const HexLoadState& st);
QString HexBadSumText(const HexLoadState& st);
