// Logger has no state: its members only set up the dispatch table, which this library exports.
#include <core/logger.h>

namespace core {

Logger::Logger() = default;
Logger::Logger(const Logger&) {}
Logger& Logger::operator=(const Logger&) { return *this; }
Logger::~Logger() = default;

}  // namespace core
