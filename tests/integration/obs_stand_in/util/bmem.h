#pragma once

#ifdef __cplusplus
extern "C" {
#endif

void bfree(void *pointer);

#ifdef __cplusplus
}
#endif
