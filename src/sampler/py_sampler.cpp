// The Python face of the background sampler.
#include "boundary/entries.h"
#include "ipc_probe/surface.h"
#include "sampler/sampler.h"

namespace ipc_probe::py {
namespace {

constexpr std::string_view kIntervalParams[] = {"interval_ms"};

constexpr ArgumentSpec kSamplerNew{"__new__", "BackgroundSampler", {}, 0, 0};
constexpr ArgumentSpec kStart{"start", "BackgroundSampler", kIntervalParams, 0, 1};

// Both take the exclusive borrow (they are non-const): a second call on the same sampler
// while one runs fails at once with "Already borrowed" instead of racing it.
constexpr MethodEntry kSamplerMethods[] = {
    {"start", fastcall<&BackgroundSampler::start, kStart>},
    {"stop", noargs<&BackgroundSampler::stop>},
};

}  // namespace

constinit const ClassDef kBackgroundSamplerClass = define_class<BackgroundSampler>({
    .name = "BackgroundSampler",
    .constructor = construct<BackgroundSampler, kSamplerNew>,
    .methods = kSamplerMethods,
});

}  // namespace ipc_probe::py
