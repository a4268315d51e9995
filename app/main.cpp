// shedmate: the program a technician runs with a loom attached.
#include "app/main_loop.h"
#include "base/interrupt.h"
#include "base/io.h"
#include "link/drivers/system_driver.h"

int main() {
    installInterruptHandlers();
    useUtf8Console();
    endProcess(runShedmate(systemDriver));
}
