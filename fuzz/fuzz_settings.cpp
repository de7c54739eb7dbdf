// default.ini as any bytes at all: reading never crashes, and whatever a file restores is written
// back and read again unchanged.
#include "settings/SettingsText.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const ParsedSettings p = ParseSettings(bytes);

    SettingsValues v;
    v.CmbComPort = p.CmbComPort.value_or(v.CmbComPort);
    v.CmbProtocol = p.CmbProtocol.value_or(v.CmbProtocol);
    v.CmbBaudRate = p.CmbBaudRate.value_or(v.CmbBaudRate);
    v.EdFileName = p.EdFileName.value_or(v.EdFileName);
    v.CmbModel = p.CmbModel.value_or(v.CmbModel);
    v.CbBlankSkip = p.CbBlankSkip.value_or(v.CbBlankSkip);
    v.CbAutoReset = p.CbAutoReset.value_or(v.CbAutoReset);
    v.CbAutoDevSearch = p.CbAutoDevSearch.value_or(v.CbAutoDevSearch);
    v.RbLocalFile = p.RbLocalFile.value_or(v.RbLocalFile);

    const ParsedSettings q = ParseSettings(FormatSettings(v));
    const bool same = q.CmbComPort == v.CmbComPort && q.CmbProtocol == v.CmbProtocol &&
                      q.CmbBaudRate == v.CmbBaudRate && q.EdFileName == v.EdFileName &&
                      q.CmbModel == v.CmbModel && q.CbBlankSkip == v.CbBlankSkip &&
                      q.CbAutoReset == v.CbAutoReset && q.CbAutoDevSearch == v.CbAutoDevSearch &&
                      q.RbLocalFile == v.RbLocalFile;
    if (!same)
        std::abort();
    return 0;
}
