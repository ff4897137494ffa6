// Sets an environment variable for a scope and restores it afterwards (a
// null or empty value unsets it meanwhile).
#ifndef BQX_TESTS_SCOPED_ENV_H
#define BQX_TESTS_SCOPED_ENV_H

#include <stdlib.h>

#include <string>

namespace bqxtest {

class ScopedEnv {
  public:
    ScopedEnv(const char *name, const char *value) : name_(name) {
        if (const char *old = getenv(name)) {
            had_ = true;
            saved_ = old;
        }
        if (value && value[0])
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_.c_str(), saved_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

  private:
    std::string name_;
    std::string saved_;
    bool had_ = false;
};

} // namespace bqxtest

#endif
