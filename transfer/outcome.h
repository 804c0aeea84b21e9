#ifndef OUTCOME_H
#define OUTCOME_H

#include <QString>

// How one port's upgrade ended, and what the programs' exit codes say.
enum class Outcome { Success, Cancelled, Timeout, Failed, PortError };

namespace ExitCode {
constexpr int Success = 0;
constexpr int Failed = 1;
constexpr int Cancelled = 2;
constexpr int Timeout = 3;
constexpr int PortError = 4;
constexpr int Usage = 64;
} // namespace ExitCode

inline QString outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Success: return "success";
    case Outcome::Cancelled: return "cancelled";
    case Outcome::Timeout: return "timeout";
    case Outcome::Failed: return "failed";
    case Outcome::PortError: return "port-error";
    }
    return "failed";
}

inline int exitCode(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Success: return ExitCode::Success;
    case Outcome::Cancelled: return ExitCode::Cancelled;
    case Outcome::Timeout: return ExitCode::Timeout;
    case Outcome::Failed: return ExitCode::Failed;
    case Outcome::PortError: return ExitCode::PortError;
    }
    return ExitCode::Failed;
}

// With several ports the worst outcome gives the exit code. A device left
// with half an image needs a person first, then one that was never reached,
// then one that never answered; a cancel was asked for.
inline int severity(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Success: return 0;
    case Outcome::Cancelled: return 1;
    case Outcome::Timeout: return 2;
    case Outcome::PortError: return 3;
    case Outcome::Failed: return 4;
    }
    return 4;
}

#endif // OUTCOME_H
