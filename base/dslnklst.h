// Singly linked list of caller-owned items, with its operations reachable
// through the list object and a cache that makes walking by index linear.
#pragma once

#include <cstdint>

struct llNode_t {
    llNode_t *next;
    void *data;
};

struct LinkedList_t;

// Releases an item's data when its node is deleted.
typedef void (*llFreeFn_t)(void *data);
// 0 when the item's data matches the key.
typedef int (*llFindFn_t)(void *data, void *key);
// Above 0 when node a sorts after node b.
typedef int (*llSortFn_t)(llNode_t *a, llNode_t *b, void *context);

struct LinkedList_t {
    int (*isEmpty)(LinkedList_t *list);
    llNode_t *(*insertAtTop)(LinkedList_t *list, void *data);
    llNode_t *(*insertAtBottom)(LinkedList_t *list, void *data);
    int (*deleteItem)(LinkedList_t *list, llNode_t *node);
    void (*deleteAllItems)(LinkedList_t *list);
    llNode_t *(*findItem)(LinkedList_t *list, void *key, llFindFn_t compare);
    uint32_t (*getNumItems)(LinkedList_t *list);
    void *(*getData)(LinkedList_t *list, llNode_t *node);
    llNode_t *(*getNextItem)(LinkedList_t *list, llNode_t *node);
    llNode_t *(*getItemAt)(LinkedList_t *list, uint32_t index);
    void (*sortList)(LinkedList_t *list, llSortFn_t compare, void *context);
    int (*getMemPool)(LinkedList_t *list);

    llNode_t *head;
    llNode_t *tail;
    llNode_t *cachedNode;     // node found by the last getItemAt
    uint32_t cachedIndex;     // its position
    uint32_t count;
    int memPool;              // pool handle the list draws from; 0 = tracked heap
    llFreeFn_t freeFn;        // may be null
};

// A new list, or null when memory is short.
LinkedList_t *new_LinkedList(llFreeFn_t freeFn, int memPool);
// Deletes every item and frees the list; a list drawn from a pool is left to the pool.
void delete_LinkedList(LinkedList_t *list);

int llIsEmpty(LinkedList_t *list);
llNode_t *llInsertAtTop(LinkedList_t *list, void *data);
llNode_t *llInsertAtBottom(LinkedList_t *list, void *data);
int llDeleteItem(LinkedList_t *list, llNode_t *node);   // 1 when deleted, 0 when not in the list
void llDeleteAllItems(LinkedList_t *list);
llNode_t *llFindItem(LinkedList_t *list, void *key, llFindFn_t compare);
uint32_t llGetNumItems(LinkedList_t *list);
void *llGetData(LinkedList_t *list, llNode_t *node);
llNode_t *llGetNextItem(LinkedList_t *list, llNode_t *node);   // the head for a null node
llNode_t *llGetItemAt(LinkedList_t *list, uint32_t index);      // null when index >= count
void llSortList(LinkedList_t *list, llSortFn_t compare, void *context);
int llGetMemPool(LinkedList_t *list);

// Natural two-way merge sort of a node chain; returns the new head.
llNode_t *sortBinMerge(llNode_t *head, llSortFn_t compare, void *context);
