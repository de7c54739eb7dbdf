#include "cli/RunChoices.h"

#include "image/ImageList.h"
#include "link/PortNames.h"

#include <algorithm>
#include <optional>

namespace {

int rowOrNone(int row, int rows) {
    return row >= 0 && row < rows ? row : -1;
}

} // namespace

CliChoices::CliChoices() {
    for (const char* name : kDesignModelNames)
        Models << QString::fromUtf8(name);
}

int CliChoices::ProtocolRow() const {
    return rowOrNone(Values.CmbProtocol, static_cast<int>(kProtocolNames.size()));
}

int CliChoices::RateCode() const {
    return rowOrNone(Values.CmbBaudRate, static_cast<int>(kBaudRates.size()));
}

int CliChoices::ModelRow() const {
    return rowOrNone(Values.CmbModel, std::min<int>(Models.size(), ImageListCapacity));
}

void ApplySettingsFile(const ParsedSettings& parsed, CliChoices* c) {
    ApplySettings(parsed, &c->Values);
    if (parsed.CmbModel)
        c->Values.CmbModel = rowOrNone(c->Values.CmbModel, c->Models.size());
}

void ApplySourceOptions(const CliOptions& o, CliChoices* c) {
    if (!o.File.isEmpty()) {
        c->Values.RbLocalFile = true;
        c->Values.EdFileName = o.File;
    } else if (o.ModelName || o.ModelRow) {
        c->Values.RbLocalFile = false;
    }
    if (o.Port)
        c->Values.CmbComPort = *o.Port;
}

void ApplyImageList(const QStringList& models, CliChoices* c) {
    const int row = c->Values.CmbModel;
    c->Models = models;
    c->Values.CmbModel = row < c->Models.size() ? row : -1;
}

bool ApplyModelOption(const CliOptions& o, CliChoices* c, QString* error) {
    const QStringList& models = c->Models;
    const int rows = std::min<int>(models.size(), ImageListCapacity);
    int row = -1;
    if (o.ModelName) {
        for (int i = 0; i < rows && row < 0; ++i) {
            if (models[i] == *o.ModelName)
                row = i;
        }
        if (row < 0) {
            QStringList names;
            for (int i = 0; i < rows; ++i)
                names << QLatin1Char('"') + models[i] + QLatin1Char('"');
            *error = QStringLiteral("no model \"%1\" in hexlist.txt; its models: %2")
                         .arg(*o.ModelName, names.join(QStringLiteral(", ")));
            return false;
        }
    } else if (o.ModelRow) {
        row = *o.ModelRow;
        if (row >= rows) {
            *error =
                QStringLiteral("no row %1 in the model list (rows 0 to %2)").arg(row).arg(rows - 1);
            return false;
        }
    } else {
        return true;
    }
    c->Values.CmbModel = row;
    if (const std::optional<ModelPreset> preset = ModelPresetOf(models[row])) {
        c->Values.CbAutoReset = preset->AutoReset;
        c->Values.CbBlankSkip = preset->BlankSkip;
    }
    return true;
}

void ApplyLinkOptions(const CliOptions& o, CliChoices* c) {
    if (o.RateCode)
        c->Values.CmbBaudRate = *o.RateCode;
    if (o.Protocol)
        c->Values.CmbProtocol = *o.Protocol;
    if (o.AutoReset)
        c->Values.CbAutoReset = *o.AutoReset;
    if (o.SkipBlank)
        c->Values.CbBlankSkip = *o.SkipBlank;
}
