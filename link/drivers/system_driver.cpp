#include "link/drivers/system_driver.h"

#include <string>

#include "link/drivers/d2xx_library.h"

const Driver* systemDriver() {
    std::string why;
    if (const Driver* library = d2xxLibraryDriver(why))
        return library;
    return d2xxLibraryMissing(why);
}
