// The abstract base of the caller's request tasks: it only carries the text.
#include "eTileServerManager.h"

namespace TVK {

eRequestTask::eRequestTask() = default;

eRequestTask::eRequestTask(const eString& request) : m_strRequest(request) {}

eRequestTask::eRequestTask(const eRequestTask& other)
    : eTaskBase(other), m_strRequest(other.m_strRequest) {}

eRequestTask& eRequestTask::operator=(const eRequestTask& other) {
    m_strRequest = other.m_strRequest;
    return *this;
}

eRequestTask::~eRequestTask() = default;

}  // namespace TVK
