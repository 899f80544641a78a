#include "CStringArray.h"

#include <cstring>
#include <new>

#include "Assert.h"

CStringArray::~CStringArray() {
    RemoveAll();
}

CStringArray::Node* CStringArray::MakeNode(const char* pszString) {
    size_t length = std::strlen(pszString);
    char* text = new (std::nothrow) char[length + 1]();
    if (text == nullptr)
        return nullptr;
    std::memcpy(text, pszString, length);
    Node* node = new (std::nothrow) Node{nullptr, nullptr, text};
    if (node == nullptr)
        delete[] text;
    return node;
}

// Links node in front of before (at the tail when before is null).
void CStringArray::Link(Node* node, Node* before) {
    node->pNext = before;
    node->pPrev = before != nullptr ? before->pPrev : m_pTail;
    if (node->pPrev != nullptr) {
        node->pPrev->pNext = node;
    } else {
        m_pHead = node;
    }
    if (before != nullptr) {
        before->pPrev = node;
    } else {
        m_pTail = node;
    }
    ++m_nArrayCount;
}

int CStringArray::Add(const char* pszString) {
    FP_ASSERT(pszString != NULL);
    Node* node = MakeNode(pszString);
    if (node == nullptr)
        return -1;
    Link(node, nullptr);
    return m_nArrayCount;
}

void CStringArray::InsertAt(int p, const char* pszString) {
    FP_ASSERT(p >= 0 && p <= m_nArrayCount && pszString != NULL);
    Node* node = MakeNode(pszString);
    if (node == nullptr)
        return;
    Node* before = m_pHead;
    for (int i = 0; i < p; ++i)
        before = before->pNext;
    Link(node, before);
}

char* CStringArray::GetAt(int index) const {
    FP_ASSERT(index >= 0 && index < m_nArrayCount && m_nArrayCount > 0);
    Node* node = m_pHead;
    for (int i = 0; i < index; ++i)
        node = node->pNext;
    return node->pszText;
}

void CStringArray::RemoveAll() {
    while (m_pHead != nullptr) {
        Node* next = m_pHead->pNext;
        delete[] m_pHead->pszText;
        delete m_pHead;
        m_pHead = next;
    }
    m_pTail = nullptr;
    m_nArrayCount = 0;
}

void CStringArray::Copy(const CStringArray& other) {
    if (&other == this)
        return;
    RemoveAll();
    int ArrayLen = other.Getl();
    for (Node* node = other.m_pHead; node != nullptr; node = node->pNext)
        Add(node->pszText);
    FP_ASSERT(m_nArrayCount == ArrayLen);
}
