/* Marvok: read the FPM and F measurements of an instrument over Modbus/TCP.
 *
 * Each measurement call connects to port 502 of a.b.c.d, reads two input
 * registers of unit 1, disconnects and returns the value, or one of the
 * sentinels below. `delay` is a pacing delay in milliseconds: a successful
 * call spends at least the larger of `delay` and 100 ms after the reply.
 * Calls block the caller's thread and must not overlap.
 *
 * On 32-bit Windows the functions use __stdcall, as VBA and LabVIEW expect;
 * the exported names carry no decoration on any platform. */
#ifndef MARVOK_H
#define MARVOK_H

#if defined(_WIN32) && !defined(_WIN64)
#define MARVOK_CALL __stdcall
#else
#define MARVOK_CALL
#endif

#if defined(_WIN32) && defined(MARVOK_BUILDING)
#define MARVOK_API /* the module-definition file exports and numbers them */
#elif defined(_WIN32)
#define MARVOK_API __declspec(dllimport)
#elif defined(MARVOK_BUILDING)
#define MARVOK_API __attribute__((visibility("default")))
#else
#define MARVOK_API
#endif

#define MARVOK_RESULT_NO_CONNECTION 99999.0 /* both connection attempts failed */
#define MARVOK_RESULT_NO_REPLY 99998.0      /* connected, no valid reply twice */

#ifdef __cplusplus
extern "C" {
#endif

/* 103.0; touches no network. Ordinal 1. */
MARVOK_API double MARVOK_CALL MARVOK_MODBUS_READ_DLL_SOFTWARE_REVISION(void);
/* The FPM measurement, input registers 0 and 1. Ordinal 2. */
MARVOK_API double MARVOK_CALL MARVOK_MODBUS_READ_FPM(short a, short b, short c, short d, short delay);
/* The F measurement, input registers 4 and 5. Ordinal 3. */
MARVOK_API double MARVOK_CALL MARVOK_MODBUS_READ_F(short a, short b, short c, short d, short delay);

#ifdef __cplusplus
}
#endif

#endif
