#include "Application.h"
#include "UMain.h"

int main(int argc, char** argv) {
    corvane::TApplication app(argc, argv);
    corvane::TFrmMain FrmMain;
    FrmMain.show();
    return corvane::TApplication::exec();
}
