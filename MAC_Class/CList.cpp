#include "CList.h"

#include <new>

#include "Assert.h"

CList::CList(int /*unused*/) {}

CList::~CList() {
    RemoveAll();
}

_POSITION* CList::AddHead(const SBuffer& buffer) {
    _POSITION* node = new (std::nothrow) _POSITION{m_pNodeHead, nullptr, buffer};
    if (node == nullptr)
        return nullptr;
    if (m_pNodeHead != nullptr) {
        m_pNodeHead->pPrev = node;
    } else {
        m_pNodeTail = node;
    }
    m_pNodeHead = node;
    ++m_nCount;
    return node;
}

SBuffer* CList::GetNext(_POSITION*& rPosition) {
    FP_ASSERT(rPosition != NULL);
    SBuffer* buffer = &rPosition->buffer;
    rPosition = rPosition->pNext;
    return buffer;
}

SBuffer CList::RemoveTail() {
    FP_ASSERT(m_nCount != 0);
    FP_ASSERT(NULL != m_pNodeTail);
    _POSITION* node = m_pNodeTail;
    m_pNodeTail = node->pPrev;
    if (m_pNodeTail != nullptr) {
        m_pNodeTail->pNext = nullptr;
    } else {
        m_pNodeHead = nullptr;
    }
    SBuffer buffer = node->buffer;
    delete node;
    --m_nCount;
    return buffer;
}

void CList::RemoveAll() {
    while (m_pNodeHead != nullptr) {
        _POSITION* next = m_pNodeHead->pNext;
        delete[] m_pNodeHead->buffer.pData;
        delete m_pNodeHead;
        m_pNodeHead = next;
    }
    m_pNodeTail = nullptr;
    m_nCount = 0;
}
