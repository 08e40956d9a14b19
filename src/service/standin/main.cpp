// The service executable on the stand-in, whose tests may set the runner's bounds to see a
// time-out without waiting minutes.
#include "platform/standin/OutputBounds.h"
#include "service/ServiceHost.h"

#include <cstdlib>

int main(int argc, char** argv) {
    using namespace tarn::platform::standin;
    tarn::upgrade::RunnerBounds bounds;
    // Read at start-up, before any thread runs, so no writer of the environment races.
    const char* listing = std::getenv(kListingBoundVariable);   // NOLINT(concurrency-mt-unsafe)
    const char* download = std::getenv(kDownloadBoundVariable); // NOLINT(concurrency-mt-unsafe)
    bounds.listingAndDetach = parseOutputBound(listing).value_or(bounds.listingAndDetach);
    bounds.download = parseOutputBound(download).value_or(bounds.download);
    return tarn::service::runServiceProcess(argc, argv, bounds);
}
