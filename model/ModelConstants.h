#pragma once
// The exported vocabularies of device states and service status codes.

// Device states.
extern const char* const kDMIdleState;                   // "Idle"
extern const char* const kDMInfoState;                   // "Info"
extern const char* const kDMTestStartingState;           // "TestStarting"
extern const char* const kDMTestInProgressState;         // "TestInProgress"
extern const char* const kDMTestCompletingState;         // "TestCompleting"
extern const char* const kDMTestCompletedPassState;      // "TestCompletedPass"
extern const char* const kDMTestCompletedFailState;      // "TestCompletedFail"
extern const char* const kDMTestAbortedState;            // "TestAborted"
extern const char* const kDMExitingState;                // "Exiting"
extern const char* const kDMUIUpdateInProgressState;     // "UIUpdateInProgress"
extern const char* const kDMUIUpdateCompletedState;      // "UIUpdateCompleted"
extern const char* const kDMSendResultsInProgressState;  // "SendResultsInProgress"
extern const char* const kDMSendResultsCompletedState;   // "SendResultsCompleted"
extern const char* const kDMPausedState;                 // "Paused"
extern const char* const kDMRuntimeMinorErrorState;      // "RuntimeMinorError"
extern const char* const kDMRuntimeCriticalErrorState;   // "RuntimeCriticalError"
extern const char* const kDMRuntimeFatalErrorState;      // "RuntimeFatalError"

// Service status codes (the "code" of a server status object).
extern const char* const kNoError;             // "NoError"
extern const char* const kRetryRequested;      // "RetryRequested"
extern const char* const kSessionInvalid;      // "SessionInvalid"
extern const char* const kServiceUnavailable;  // "ServiceUnavailable"
extern const char* const kServiceMinorError;   // "ServiceMinorError"
extern const char* const kServiceFatalError;   // "ServiceFatalError"
