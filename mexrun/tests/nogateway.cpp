// Loads fine, but exports no mexFunction.
extern "C" __attribute__((visibility("default"))) int not_a_gateway() { return 0; }
