#include "update/Uupdate.h"

// STUB: replaced by the libcurl client.
UUPD::~UUPD() = default;
void UUPD::Init(SYS_INFO&, const QString&) {}
bool UUPD::CheckServer(const QString&) { return false; }
void UUPD::DownloadFile(const QString&, const QString&) {}
void UUPD::HttpWork(int64_t, int64_t) {}
void UUPD::ReleaseHttp() {}
