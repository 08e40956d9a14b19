// The service executable on Windows: the runner keeps the engine's own bounds.
#include "service/ServiceHost.h"

int main(int argc, char** argv) {
    return tarn::service::runServiceProcess(argc, argv, {});
}
