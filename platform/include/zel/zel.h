// Interface of the closed libzel: only the one entry point the daemon calls.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Hands a finished dump's file list to libzel. Every argument is a 32-bit value on the device.
int __zel_log_all(int type, const char* module, const char* event, int arg3, int arg4, int arg5,
                  int arg6, int arg7, int arg8, int arg9, const char* fileList, int flags);

#ifdef __cplusplus
}
#endif
