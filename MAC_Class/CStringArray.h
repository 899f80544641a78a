// A doubly linked list of owned string copies, indexed from the head.
#pragma once

class CStringArray {
public:
    CStringArray() = default;
    ~CStringArray();
    CStringArray(const CStringArray&) = delete;
    CStringArray& operator=(const CStringArray&) = delete;

    int Getl() const { return m_nArrayCount; }
    // Appends a copy; the new count, or -1 when memory ran out.
    int Add(const char* pszString);
    // Inserts a copy so that it gets index p (p == count appends).
    void InsertAt(int p, const char* pszString);
    // The stored string (not a copy).
    char* GetAt(int index) const;
    void RemoveAll();
    // Replaces the contents with copies of other's strings.
    void Copy(const CStringArray& other);

private:
    struct Node {
        Node* pPrev;
        Node* pNext;
        char* pszText;
    };
    static Node* MakeNode(const char* pszString);
    void Link(Node* node, Node* before);

    Node* m_pHead = nullptr;
    Node* m_pTail = nullptr;
    int m_nArrayCount = 0;
};
