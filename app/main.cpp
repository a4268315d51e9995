// shedmate: the program a technician runs with a loom attached.
#include "app/main_loop.h"
#include "base/interrupt.h"
#include "link/drivers/system_driver.h"

int main() {
    installInterruptHandlers();
    endProcess(runShedmate(systemDriver));
}
