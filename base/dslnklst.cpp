#include "base/dslnklst.h"

#include "base/fsubsys.h"
#include "base/kelmem.h"
#include "base/mempool.h"

namespace {

llNode_t *llNodeAlloc(LinkedList_t *list)
{
    void *p = list->memPool != 0 ? mpAlloc(list->memPool, sizeof(llNode_t)) : KEL_MALLOC(sizeof(llNode_t));
    return static_cast<llNode_t *>(p);
}

// Nodes of a pool-drawn list stay with the pool until it is destroyed.
void llNodeRelease(LinkedList_t *list, llNode_t *node)
{
    if (list->memPool == 0)
        KEL_FREE(node);
}

void clearCache(LinkedList_t *list)
{
    list->cachedNode = nullptr;
    list->cachedIndex = 0;
}

// Appends node to the chain (head, tail).
void append(llNode_t **head, llNode_t **tail, llNode_t *node)
{
    node->next = nullptr;
    if (*tail == nullptr)
        *head = node;
    else
        (*tail)->next = node;
    *tail = node;
}

// Merges the two chains run by run: each output run is one run of a merged
// with one run of b, always taking the smaller front node.
llNode_t *mergeRuns(llNode_t *a, llNode_t *b, llSortFn_t compare, void *context)
{
    llNode_t *head = nullptr, *tail = nullptr;
    while (a != nullptr || b != nullptr) {
        bool inRunA = a != nullptr, inRunB = b != nullptr;
        while (inRunA || inRunB) {
            bool takeA = inRunA && (!inRunB || compare(a, b, context) <= 0);
            llNode_t *node = takeA ? a : b;
            llNode_t *next = node->next;
            append(&head, &tail, node);
            if (takeA) {
                a = next;
                inRunA = a != nullptr && compare(node, a, context) <= 0;
            } else {
                b = next;
                inRunB = b != nullptr && compare(node, b, context) <= 0;
            }
        }
    }
    return head;
}

} // namespace

llNode_t *sortBinMerge(llNode_t *head, llSortFn_t compare, void *context)
{
    if (head == nullptr || compare == nullptr)
        return head;
    for (;;) {
        // Distribute the runs alternately to two chains.
        llNode_t *heads[2] = {nullptr, nullptr}, *tails[2] = {nullptr, nullptr};
        int cur = 0;
        for (llNode_t *node = head; node != nullptr;) {
            llNode_t *next = node->next;
            if (tails[cur] != nullptr && compare(tails[cur], node, context) > 0)
                cur ^= 1;
            append(&heads[cur], &tails[cur], node);
            node = next;
        }
        if (heads[1] == nullptr)
            return heads[0];
        SwitchProcess(0);   // a long sort lets other work in once a pass
        head = mergeRuns(heads[0], heads[1], compare, context);
    }
}

LinkedList_t *new_LinkedList(llFreeFn_t freeFn, int memPool)
{
    void *p = memPool != 0 ? mpAlloc(memPool, sizeof(LinkedList_t)) : KEL_MALLOC(sizeof(LinkedList_t));
    auto *list = static_cast<LinkedList_t *>(p);
    if (list == nullptr)
        return nullptr;
    list->isEmpty = llIsEmpty;
    list->insertAtTop = llInsertAtTop;
    list->insertAtBottom = llInsertAtBottom;
    list->deleteItem = llDeleteItem;
    list->deleteAllItems = llDeleteAllItems;
    list->findItem = llFindItem;
    list->getNumItems = llGetNumItems;
    list->getData = llGetData;
    list->getNextItem = llGetNextItem;
    list->getItemAt = llGetItemAt;
    list->sortList = llSortList;
    list->getMemPool = llGetMemPool;
    list->head = nullptr;
    list->tail = nullptr;
    list->cachedNode = nullptr;
    list->cachedIndex = 0;
    list->count = 0;
    list->memPool = memPool;
    list->freeFn = freeFn;
    return list;
}

void delete_LinkedList(LinkedList_t *list)
{
    if (list == nullptr || list->memPool != 0)
        return;
    llDeleteAllItems(list);
    KEL_FREE(list);
}

int llIsEmpty(LinkedList_t *list) { return list->count == 0 ? 1 : 0; }

llNode_t *llInsertAtTop(LinkedList_t *list, void *data)
{
    llNode_t *node = llNodeAlloc(list);
    if (node == nullptr)
        return nullptr;
    clearCache(list);
    node->data = data;
    node->next = list->head;
    list->head = node;
    if (list->tail == nullptr)
        list->tail = node;
    list->count++;
    return node;
}

llNode_t *llInsertAtBottom(LinkedList_t *list, void *data)
{
    llNode_t *node = llNodeAlloc(list);
    if (node == nullptr)
        return nullptr;
    node->data = data;
    append(&list->head, &list->tail, node);
    list->count++;
    return node;
}

int llDeleteItem(LinkedList_t *list, llNode_t *node)
{
    if (list->count == 0 || node == nullptr)
        return 0;
    llNode_t *prev = nullptr, *cur = list->head;
    uint32_t pos = 0;
    while (cur != nullptr && cur != node) {
        prev = cur;
        cur = cur->next;
        pos++;
    }
    if (cur == nullptr)
        return 0;
    if (pos <= list->cachedIndex)
        clearCache(list);
    if (prev == nullptr)
        list->head = node->next;
    else
        prev->next = node->next;
    if (list->tail == node)
        list->tail = prev;
    if (list->freeFn != nullptr)
        list->freeFn(node->data);
    llNodeRelease(list, node);
    if (--list->count == 0) {
        list->head = nullptr;
        list->tail = nullptr;
    }
    return 1;
}

void llDeleteAllItems(LinkedList_t *list)
{
    llNode_t *node = list->head;
    while (node != nullptr) {
        llNode_t *next = node->next;
        if (list->freeFn != nullptr)
            list->freeFn(node->data);
        llNodeRelease(list, node);
        node = next;
    }
    list->head = nullptr;
    list->tail = nullptr;
    clearCache(list);
    list->count = 0;
}

llNode_t *llFindItem(LinkedList_t *list, void *key, llFindFn_t compare)
{
    if (compare == nullptr)
        return nullptr;
    for (llNode_t *node = list->head; node != nullptr; node = node->next)
        if (compare(node->data, key) == 0)
            return node;
    return nullptr;
}

uint32_t llGetNumItems(LinkedList_t *list) { return list->count; }

void *llGetData(LinkedList_t * /*list*/, llNode_t *node) { return node != nullptr ? node->data : nullptr; }

llNode_t *llGetNextItem(LinkedList_t *list, llNode_t *node) { return node == nullptr ? list->head : node->next; }

llNode_t *llGetItemAt(LinkedList_t *list, uint32_t index)
{
    if (index >= list->count)
        return nullptr;
    llNode_t *node = list->head;
    uint32_t pos = 0;
    if (list->cachedNode != nullptr && list->cachedIndex != 0 && list->cachedIndex < list->count &&
        index >= list->cachedIndex) {
        node = list->cachedNode;
        pos = list->cachedIndex;
    }
    while (pos < index && node != nullptr) {
        node = node->next;
        pos++;
    }
    list->cachedNode = node;
    list->cachedIndex = index;
    return node;
}

void llSortList(LinkedList_t *list, llSortFn_t compare, void *context)
{
    clearCache(list);
    list->head = sortBinMerge(list->head, compare, context);
    // The sort relinks the nodes; the tail must follow the new last node or a
    // later insertion at the bottom would cut the chain.
    llNode_t *last = list->head;
    while (last != nullptr && last->next != nullptr)
        last = last->next;
    list->tail = last;
}

int llGetMemPool(LinkedList_t *list) { return list->memPool; }
