// shedmate: the program a technician runs with a loom attached.
#include "base/interrupt.h"
#include "app/main_loop.h"
#include "link/d2xx.h"
#include "link/drivers/system_driver.h"

int main() {
    installInterruptHandlers();
    installDriver(systemDriver());
    endProcess(runShedmate());
}
