#include "startup.h"

int main(int argc, char *argv[])
{
    return nvx::runToolkit(argc, argv);
}
