#include "platform/platform.h"
#include "run/driver.h"

int main(int argc, char** argv)
{
    proc_exit(run_main(argc, argv));
}
