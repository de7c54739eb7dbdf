// What zubload downloads and how: the window's design-time choices, then default.ini's, then the
// command line's, held as values. Pure: no port, no engine, no network; the image list's models
// come in from the caller once it has read the list.
#pragma once

#include "cli/CliOptions.h"
#include "engine/DownloadEngine.h"
#include "settings/SettingsText.h"

#include <QString>
#include <QStringList>

// The choices a window operator makes with the controls: the remembered controls' values and the
// model box's rows.
struct CliChoices : OperatorChoices {
    SettingsValues Values;
    QStringList Models; // the model box's rows

    // The window's controls as it is built: its defaults and its design-time model rows.
    CliChoices();

    QString PortName() const override { return Values.CmbComPort; }
    int ProtocolRow() const override;
    int RateCode() const override;
    bool AutoReset() const override { return Values.CbAutoReset; }
    bool BlankSkip() const override { return Values.CbBlankSkip; }
    bool LocalFile() const override { return Values.RbLocalFile; }
    QString FileName() const override { return Values.EdFileName; }
    int ModelRow() const override;
    QString ModelName(int row) const override { return Models.value(row); }
    bool Single() const override { return true; }
};

// default.ini read, as the window restores it at start-up; a model row past the rows selects
// none, as in the window's box.
void ApplySettingsFile(const ParsedSettings& parsed, CliChoices* choices);
// The firmware the command line names: a local file, or the model branch. The port as well:
// a failed list fetch's record row names it.
void ApplySourceOptions(const CliOptions& options, CliChoices* choices);
// The image list read: its models become the rows, and the row chosen so far stays chosen
// while the list has it.
void ApplyImageList(const QStringList& models, CliChoices* choices);
// --model or --model-row picked as the operator picks a row: the model's presets for auto reset
// and blank skipping apply. False, with the reason, when the list has no such model.
bool ApplyModelOption(const CliOptions& options, CliChoices* choices, QString* error);
// The link's options, which override the settings file and a model's presets.
void ApplyLinkOptions(const CliOptions& options, CliChoices* choices);
