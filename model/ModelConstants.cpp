#include "model/ModelConstants.h"

const char* const kDMIdleState = "Idle";
const char* const kDMInfoState = "Info";
const char* const kDMTestStartingState = "TestStarting";
const char* const kDMTestInProgressState = "TestInProgress";
const char* const kDMTestCompletingState = "TestCompleting";
const char* const kDMTestCompletedPassState = "TestCompletedPass";
const char* const kDMTestCompletedFailState = "TestCompletedFail";
const char* const kDMTestAbortedState = "TestAborted";
const char* const kDMExitingState = "Exiting";
const char* const kDMUIUpdateInProgressState = "UIUpdateInProgress";
const char* const kDMUIUpdateCompletedState = "UIUpdateCompleted";
const char* const kDMSendResultsInProgressState = "SendResultsInProgress";
const char* const kDMSendResultsCompletedState = "SendResultsCompleted";
const char* const kDMPausedState = "Paused";
const char* const kDMRuntimeMinorErrorState = "RuntimeMinorError";
const char* const kDMRuntimeCriticalErrorState = "RuntimeCriticalError";
const char* const kDMRuntimeFatalErrorState = "RuntimeFatalError";

const char* const kNoError = "NoError";
const char* const kRetryRequested = "RetryRequested";
const char* const kSessionInvalid = "SessionInvalid";
const char* const kServiceUnavailable = "ServiceUnavailable";
const char* const kServiceMinorError = "ServiceMinorError";
const char* const kServiceFatalError = "ServiceFatalError";
