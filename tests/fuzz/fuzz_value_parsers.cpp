// The parsers of the controller's values, and the text helpers around them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "protocol/messages.h"
#include "protocol/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    const char* msg = text.c_str(); // stops at the first NUL, as a framed message would

    char small[10];
    getAttrValue(msg, small, sizeof small);
    char big[200];
    getAttrValue(msg, big, sizeof big);

    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        parseBanner(msg);
        if (loomSettings.netCount >= maxNetInfos)
            loomSettings.netCount = 0;
        addNetInfo(big);
        addNetInfo(msg);
        if (std::strlen(loomSettings.hostname) >= sizeof loomSettings.hostname ||
            std::strlen(loomSettings.version) >= sizeof loomSettings.version)
            __builtin_trap();
    }

    std::string masked = maskPassphrase(text);
    if (carriesPassphrase(text) && masked.find(passphraseMask) == std::string::npos)
        __builtin_trap();
    return 0;
}
