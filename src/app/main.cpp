#include "app/Application.h"

int main(int argc, char** argv) { return loopstage::app::applicationMain(argc, argv); }
