#include "support/net.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

CaptureFd::CaptureFd(int fd) : fd_(fd) {
    std::fflush(nullptr);
    char name[] = "/tmp/veltn_capture_XXXXXX";
    const int tmp = mkstemp(name);
    path_ = name;
    saved_ = dup(fd_);
    dup2(tmp, fd_);
    close(tmp);
}

std::string CaptureFd::text() {
    if (!done_) {
        std::fflush(nullptr);
        std::cout.flush();
        std::cerr.flush();
        dup2(saved_, fd_);
        close(saved_);
        std::ifstream in(path_);
        std::stringstream ss;
        ss << in.rdbuf();
        text_ = ss.str();
        std::remove(path_.c_str());
        done_ = true;
    }
    return text_;
}

CaptureFd::~CaptureFd() { text(); }
