#include "app/ZubApplication.h"
#include "app/ZubBootLoadMain.h"

int main(int argc, char* argv[]) {
    ZubApplication app(argc, argv);
    return app.Run([] { return std::make_unique<TForm1>(); });
}
