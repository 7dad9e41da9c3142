#include "ctlprogram.h"

int main(int argc, char **argv)
{
    return nvxctl::runProgram(argc, argv);
}
