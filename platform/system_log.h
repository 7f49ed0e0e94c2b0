#pragma once

#include <string>
#include <syslog.h> // LOG_ERR, LOG_WARNING, LOG_INFO: the priorities callers give

// The launcher's lines in the system log (facility user, with the process
// id), under the identity the product is known by, so that a user can find
// them (journalctl -t <identity>, or /var/log/syslog). Failures go at
// LOG_ERR, retries at LOG_WARNING, what went well (a good signature, the
// hand-off to the agent) at LOG_INFO.

// Names the product in every line logged from now on ("launcher" until
// then; an empty name keeps it). Blanks and the characters that end a
// syslog tag (":", "[", "]") become "_", so that log readers take the name whole.
void setSystemLogIdentity(const std::string& productName);
// The identity lines are logged under now.
const std::string& systemLogIdentity();

// Writes one line to the system log at the priority and the same line, with
// a newline, to stderr.
void systemLog(const std::string& line, int priority);
// The same at LOG_ERR.
void systemLog(const std::string& line);

// Writes the line to the system log only: for lines shown elsewhere already
// (the error reporter's) or that a user need not see (a hand-off).
void writeToSystemLog(const std::string& line, int priority);
