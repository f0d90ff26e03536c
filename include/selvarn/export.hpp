// What the shared library exports: it is built with hidden visibility, so only what
// carries this mark is part of its interface.
#pragma once

#define SELVARN_API __attribute__((visibility("default")))
