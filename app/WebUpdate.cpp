#include "app/ZubBootLoadMain.h"

#include <QProgressBar>
#include <QRadioButton>

void TForm1::BtnWebUpdateClick() {
    // The next Start loads its image from the file again, which this command may just replace.
    Engine.ForgetImage();
    ProgressBar2->setValue(0);
    SetHourglass();
    if (Engine.CheckUpdateServer()) {
        Engine.FetchImageList();
        RbWebFile->setChecked(true);
        ReadImageList(Engine.ImageListFile());
    } else {
        AddLog(QStringLiteral("네트워크 연결이 불안정합니다."));
        if (!RbLocalFile->isChecked()) {
            RbLocalFile->setChecked(true);
            RbLocalFileClick();
        }
    }
    SetDefaultCursor();
}
