#include "tarvelin_app.h"

int main(int argc, char** argv)
{
    tarvelin::shell::CTarvelinApp app(argc, argv);
    if (!app.InitInstance()) {
        return 1;
    }
    return app.exec();
}
