// A library that carries resources, for the resource and version tests.
extern "C" __attribute__((visibility("default"))) int KxResProbeMarker() {
    return 7;
}
