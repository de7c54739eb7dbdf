#include "app/ZubBootLoadMain.h"

#include <QProgressBar>
#include <QRadioButton>

void TForm1::BtnWebUpdateClick() {
    // The next Start loads its image from the file again, which this command may just replace.
    Engine.ForgetImage();
    ProgressBar2->setValue(0);
    SetHourglass();
    const QString listFile = QString::fromLatin1(Engine.Upd.Info.ListFile);
    if (Engine.Upd.CheckServer(Engine.Upd.BaseUrl)) {
        Engine.Upd.DownloadFile(Engine.Upd.UpdateUrl, listFile);
        RbWebFile->setChecked(true);
        ReadImageList(listFile);
    } else {
        AddLog(QStringLiteral("네트워크 연결이 불안정합니다."));
        if (!RbLocalFile->isChecked()) {
            RbLocalFile->setChecked(true);
            RbLocalFileClick();
        }
    }
    SetDefaultCursor();
}
