// A source file of a folder that reaches into a folder above it: the include check must name
// this file and line, and only the include that is not commented out.
#include "package/method_ids.h"
// #include "launcher/messages.h"
#include <stdint.h>
#  include "extract/storage_methods.h"
