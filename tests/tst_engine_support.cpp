#include "tst_engine_support.h"
#include "tst_engine_probe.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

// ---- FormRig ----------------------------------------------------------------------------------

FormRig::FormRig(const QString& startDir)
    : oldDir_(QDir::currentPath()), startDir_(startDir.isEmpty() ? dir_.path() : startDir) {
    QDir::setCurrent(startDir_);
    form_ = std::make_unique<TForm1>();
    form_->Timer1->stop();
    form_->MessageBoxHook = [this](const QString& text) { Boxes << text; };
    QObject::connect(EngineProbe(form_->Engine).TmMainPro(), &QTimer::timeout, form_.get(), [this] {
        Ticks.push_back({form_->Engine.State(), EngineProbe(form_->Engine).Comm1().KernelBaudRate(),
                         form_->ProgressBar1->value(), form_->ProgressBar1->maximum(),
                         form_->BtnLocalFile->isEnabled(), form_->EdFlashSize->text(),
                         form_->EdPageSize->text()});
    });
}

FormRig::~FormRig() {
    form_.reset();
    QDir::setCurrent(oldDir_);
}

QStringList FormRig::Log() const {
    const QString text = form_->Memo1->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

void FormRig::SetLocal(const QString& fileName) {
    form_->RbLocalFile->setChecked(true);
    form_->EdFileName->setText(fileName);
}

void FormRig::SetPort(const QString& pty) {
    form_->CmbComPort->setEditText(pty);
}

void FormRig::Start() {
    QTest::mouseClick(form_->BtnStart, Qt::LeftButton);
}

bool FormRig::WaitIdle(int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        if (form_->Engine.State() == 0 && !form_->Engine.Ticking())
            return true;
        QTest::qWait(5);
    }
    return false;
}

bool FormRig::WaitState(int32_t state, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        if (form_->Engine.State() == state)
            return true;
        QTest::qWait(1);
    }
    return false;
}
