#include "tests/gui_pages/gui_test_support.h"

int main(int argc, char** argv)
{
    return GuiTestMain(argc, argv, false);
}
