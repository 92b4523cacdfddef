#pragma once
// The exported vocabularies of device states and service status codes.

#include "platform/foundation/VxExport.h"

// Device states.
DA_EXPORT extern const char* const kDMIdleState;                   // "Idle"
DA_EXPORT extern const char* const kDMInfoState;                   // "Info"
DA_EXPORT extern const char* const kDMTestStartingState;           // "TestStarting"
DA_EXPORT extern const char* const kDMTestInProgressState;         // "TestInProgress"
DA_EXPORT extern const char* const kDMTestCompletingState;         // "TestCompleting"
DA_EXPORT extern const char* const kDMTestCompletedPassState;      // "TestCompletedPass"
DA_EXPORT extern const char* const kDMTestCompletedFailState;      // "TestCompletedFail"
DA_EXPORT extern const char* const kDMTestAbortedState;            // "TestAborted"
DA_EXPORT extern const char* const kDMExitingState;                // "Exiting"
DA_EXPORT extern const char* const kDMUIUpdateInProgressState;     // "UIUpdateInProgress"
DA_EXPORT extern const char* const kDMUIUpdateCompletedState;      // "UIUpdateCompleted"
DA_EXPORT extern const char* const kDMSendResultsInProgressState;  // "SendResultsInProgress"
DA_EXPORT extern const char* const kDMSendResultsCompletedState;   // "SendResultsCompleted"
DA_EXPORT extern const char* const kDMPausedState;                 // "Paused"
DA_EXPORT extern const char* const kDMRuntimeMinorErrorState;      // "RuntimeMinorError"
DA_EXPORT extern const char* const kDMRuntimeCriticalErrorState;   // "RuntimeCriticalError"
DA_EXPORT extern const char* const kDMRuntimeFatalErrorState;      // "RuntimeFatalError"

// Service status codes (the "code" of a server status object).
DA_EXPORT extern const char* const kNoError;             // "NoError"
DA_EXPORT extern const char* const kRetryRequested;      // "RetryRequested"
DA_EXPORT extern const char* const kSessionInvalid;      // "SessionInvalid"
DA_EXPORT extern const char* const kServiceUnavailable;  // "ServiceUnavailable"
DA_EXPORT extern const char* const kServiceMinorError;   // "ServiceMinorError"
DA_EXPORT extern const char* const kServiceFatalError;   // "ServiceFatalError"
