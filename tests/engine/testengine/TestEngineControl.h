/*
 * The scriptable test engine: a library with the scan engine's entry points whose
 * behaviour tests set and whose inputs tests read back. It is built as
 * libqelda64a.so in its own folder (TEST_ENGINE_PATH) and linked into the test
 * programs, so the component's run-time binding of that path and the tests' calls
 * below reach the same instance.
 *
 * What a test can set: the status each entry point returns, what AVInitialise
 * writes into the initialisation record, and for AVInitialise and AVScanObject a
 * script of callback messages (sent in order through parameters 100/101 of the
 * call; with honourDecline an answer of 1 ends the script). Scans can be held
 * before a given step until the test releases them, so that tests can act while a
 * scan is inside the engine without timing.
 *
 * What a test can read: per entry point and call, the parameter block as received
 * (each record, plus a copy of what pointer-valued parameters point to), the handle
 * and the callback's answers.
 *
 * Thread-safety: every function is safe from any thread; AVScanObject may run on
 * several threads at once. Pointers handed out stay valid until TestEngineReset.
 */
#ifndef VX_TEST_ENGINE_CONTROL_H
#define VX_TEST_ENGINE_CONTROL_H

#include <stdint.h>

#include "engine/VxAVEngineABI.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(TEST_ENGINE_BUILDING) && defined(__GNUC__)
#define TEST_ENGINE_API __attribute__((visibility("default")))
#else
#define TEST_ENGINE_API
#endif

typedef enum TestEngineEntry {
  TEST_ENGINE_INITIALISE = 0,
  TEST_ENGINE_SCAN_OBJECT = 1,
  TEST_ENGINE_CLOSE = 2
} TestEngineEntry;

/* The handle AVInitialise reports after a reset. */
#define TEST_ENGINE_DEFAULT_HANDLE 0x5EED0001u

typedef struct TestEngineCallbackStep {
  uint16_t message;
  uint64_t argument1;
  uintptr_t argument2;
} TestEngineCallbackStep;

/* One parameter as the engine received it. */
typedef struct TestEngineParameter {
  AV_SINGLEPARAMETER record;
  /* Copy of the record the value points to: 108 the folder with its NUL, 110 16
   * bytes, 565 10 bytes, 7 28 bytes; else none. */
  const uint8_t* bytes;
  uint32_t byteCount;
  /* 108: the folder; 110: names, scan and clean paths; 7: the object path;
   * 618: the fallback path and the report name ("" for none); 618's record is
   * copied too (40 bytes). */
  const char* strings[3];
  uint32_t stringCount;
  /* 7: the context IDs the descriptor points to. */
  const uint32_t* contextIds;
  uint32_t contextIdCount;
  int hasContextIds;
} TestEngineParameter;

/* Back to the start: statuses 0, handle TEST_ENGINE_DEFAULT_HANDLE, values 0, no
 * data-set records, no scripts, no hold, nothing observed. */
TEST_ENGINE_API void TestEngineReset(void);

TEST_ENGINE_API void TestEngineSetStatus(TestEngineEntry entry, uint16_t status);

/* What AVInitialise writes on success. records (count of them) are copied; with
 * nullArray the record array pointer is 0 while the count stays. */
TEST_ENGINE_API void TestEngineSetInitialisation(uint64_t handle, uint32_t value12,
                                                 uint32_t value16, uint32_t value20,
                                                 const AV_DATASETRECORD* records, uint16_t count,
                                                 int nullArray);

TEST_ENGINE_API void TestEngineSetScript(TestEngineEntry entry, const TestEngineCallbackStep* steps,
                                         uint32_t count, int honourDecline);

/* Scans wait before the callback step of that index until TestEngineReleaseScans. */
TEST_ENGINE_API void TestEngineHoldScansAtStep(uint32_t step);
/* 1 when count scans are held within timeoutMilliseconds, else 0. */
TEST_ENGINE_API int TestEngineWaitForHeldScans(uint32_t count, uint32_t timeoutMilliseconds);
TEST_ENGINE_API void TestEngineReleaseScans(void);

TEST_ENGINE_API uint32_t TestEngineCallCount(TestEngineEntry entry);
/* The handle given to AVScanObject/AVClose in that call; 0 for AVInitialise. */
TEST_ENGINE_API uint64_t TestEngineCallHandle(TestEngineEntry entry, uint32_t call);
/* Size field of the initialisation record the caller passed (AVInitialise). */
TEST_ENGINE_API uint32_t TestEngineInitialisationSize(uint32_t call);
/* Parameter block header; 0 when there was no block. */
TEST_ENGINE_API int TestEngineBlockHeader(TestEngineEntry entry, uint32_t call, uint16_t* size,
                                          uint16_t* count);
TEST_ENGINE_API uint32_t TestEngineParameterCount(TestEngineEntry entry, uint32_t call);
TEST_ENGINE_API int TestEngineGetParameter(TestEngineEntry entry, uint32_t call, uint32_t index,
                                           TestEngineParameter* parameter);
TEST_ENGINE_API uint32_t TestEngineAnswerCount(TestEngineEntry entry, uint32_t call);
TEST_ENGINE_API uint32_t TestEngineAnswer(TestEngineEntry entry, uint32_t call, uint32_t index);

#ifdef __cplusplus
}
#endif

#endif /* VX_TEST_ENGINE_CONTROL_H */
