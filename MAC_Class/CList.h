// A doubly linked list of byte buffers; the packet store of the receive buffer.
#pragma once

#include "Types.h"

// A buffer descriptor, copied by value. Whoever puts one into a CList hands
// the data array (made with new[]) over to the list.
struct SBuffer {
    DWORD dwLength;
    BYTE* pData;
};

// A list node; a position is a pointer to one (null: past the tail).
struct _POSITION {
    _POSITION* pNext;  // towards the tail
    _POSITION* pPrev;  // towards the head
    SBuffer buffer;
};

class CList {
public:
    explicit CList(int unused = 0);
    ~CList();
    CList(const CList&) = delete;
    CList& operator=(const CList&) = delete;

    int GetCount() const { return m_nCount; }
    // New head holding the descriptor; null when the node cannot be had.
    _POSITION* AddHead(const SBuffer& buffer);
    _POSITION* GetHeadPosition() const { return m_pNodeHead; }
    // The buffer at rPosition; moves rPosition one node towards the tail.
    SBuffer* GetNext(_POSITION*& rPosition);
    // Unlinks the oldest node and hands its buffer (and data) to the caller.
    SBuffer RemoveTail();
    // Frees every node and its data.
    void RemoveAll();

private:
    _POSITION* m_pNodeHead = nullptr;
    _POSITION* m_pNodeTail = nullptr;
    int m_nCount = 0;
};
