#include "update/HandleSys.h"

HandleSys::HandleSys(QString path, MainWindow *window) : FileName(path), Window(window) {}

void HandleSys::ReadData(QString) {}

void HandleSys::SetExit()
{
    ExitFlag = true;
}
