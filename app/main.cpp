#include "app/ZubBootLoadMain.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ZubLoad"));
    TForm1 form;
    form.show();
    return app.exec();
}
