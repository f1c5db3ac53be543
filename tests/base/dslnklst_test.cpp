#include "base/dslnklst.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/mempool.h"

namespace {

int byValue(llNode_t *a, llNode_t *b, void *context)
{
    int *calls = static_cast<int *>(context);
    if (calls != nullptr)
        (*calls)++;
    int x = *static_cast<int *>(a->data), y = *static_cast<int *>(b->data);
    return x > y ? 1 : (x < y ? -1 : 0);
}

int matchValue(void *data, void *key) { return *static_cast<int *>(data) == *static_cast<int *>(key) ? 0 : 1; }

std::vector<void *> freed;
void recordFree(void *data) { freed.push_back(data); }

} // namespace

// The sort's calls of SwitchProcess, counted: this test program is linked with
// --wrap for the hook's symbol (extra.cmake), which sends them here first.
int switchCalls = 0;
extern "C" void __real__Z13SwitchProcessh(unsigned char how);
extern "C" void __wrap__Z13SwitchProcessh(unsigned char how)
{
    EXPECT_EQ(0, how);
    switchCalls++;
    __real__Z13SwitchProcessh(how);
}

namespace {

// Walks the chain from the head and checks count and tail against it.
std::vector<int> contents(LinkedList_t *list)
{
    std::vector<int> out;
    llNode_t *last = nullptr;
    for (llNode_t *n = list->getNextItem(list, nullptr); n != nullptr; n = list->getNextItem(list, n)) {
        out.push_back(*static_cast<int *>(list->getData(list, n)));
        last = n;
    }
    EXPECT_EQ(out.size(), list->getNumItems(list));
    EXPECT_EQ(last, list->tail);
    return out;
}

class List : public ::testing::Test {
protected:
    void SetUp() override
    {
        freed.clear();
        list = new_LinkedList(recordFree, 0);
        ASSERT_NE(nullptr, list);
        for (int i = 0; i < 64; i++)
            values[i] = i;
    }
    void TearDown() override { delete_LinkedList(list); }

    std::vector<llNode_t *> fill(int n)
    {
        std::vector<llNode_t *> nodes;
        for (int i = 0; i < n; i++)
            nodes.push_back(list->insertAtBottom(list, &values[i]));
        return nodes;
    }

    LinkedList_t *list = nullptr;
    int values[64];
};

TEST_F(List, NewListIsEmptyWithEveryOperationSet)
{
    EXPECT_EQ(1, list->isEmpty(list));
    EXPECT_EQ(0u, list->getNumItems(list));
    EXPECT_EQ(nullptr, list->head);
    EXPECT_EQ(nullptr, list->tail);
    EXPECT_EQ(0, list->getMemPool(list));
    EXPECT_EQ(nullptr, list->getItemAt(list, 0));
    EXPECT_EQ(nullptr, list->getNextItem(list, nullptr));
    EXPECT_EQ(llSortList, list->sortList);
    EXPECT_EQ(llGetMemPool, list->getMemPool);
}

TEST_F(List, InsertAtTopAndBottom)
{
    list->insertAtBottom(list, &values[1]);
    list->insertAtTop(list, &values[0]);
    list->insertAtBottom(list, &values[2]);
    EXPECT_EQ((std::vector<int>{0, 1, 2}), contents(list));
    EXPECT_EQ(0, list->isEmpty(list));
}

TEST_F(List, FindItemReturnsTheFirstMatchFromTheHead)
{
    list->insertAtBottom(list, &values[3]);
    llNode_t *first = list->insertAtBottom(list, &values[5]);
    list->insertAtBottom(list, &values[5]);
    int key = 5, missing = 9;
    EXPECT_EQ(first, list->findItem(list, &key, matchValue));
    EXPECT_EQ(nullptr, list->findItem(list, &missing, matchValue));
}

TEST_F(List, DeleteItemFixesHeadTailAndCount)
{
    struct Case {
        const char *name;
        int size;
        int victim;
        std::vector<int> after;
    };
    const Case cases[] = {
        {"head", 3, 0, {1, 2}},
        {"middle", 3, 1, {0, 2}},
        {"tail makes its predecessor the tail", 3, 2, {0, 1}},
        {"only node empties the list", 1, 0, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        list->deleteAllItems(list);
        freed.clear();
        std::vector<llNode_t *> nodes = fill(c.size);
        EXPECT_EQ(1, list->deleteItem(list, nodes[c.victim]));
        EXPECT_EQ(c.after, contents(list));
        ASSERT_EQ(1u, freed.size());
        EXPECT_EQ(&values[c.victim], freed[0]);
        if (c.after.empty()) {
            EXPECT_EQ(nullptr, list->head);
            EXPECT_EQ(nullptr, list->tail);
        }
        // The list still takes nodes at the bottom afterwards.
        list->insertAtBottom(list, &values[9]);
        std::vector<int> want = c.after;
        want.push_back(9);
        EXPECT_EQ(want, contents(list));
    }
}

TEST_F(List, DeleteItemOfANodeNotInTheList)
{
    LinkedList_t *other = new_LinkedList(nullptr, 0);
    llNode_t *stranger = other->insertAtBottom(other, &values[7]);
    EXPECT_EQ(0, list->deleteItem(list, stranger));   // empty list
    fill(2);
    EXPECT_EQ(0, list->deleteItem(list, stranger));
    EXPECT_EQ(0, list->deleteItem(list, nullptr));
    EXPECT_EQ((std::vector<int>{0, 1}), contents(list));
    EXPECT_TRUE(freed.empty());
    delete_LinkedList(other);
}

TEST_F(List, DeleteAllItemsReleasesEveryItem)
{
    fill(5);
    list->getItemAt(list, 3);
    list->deleteAllItems(list);
    EXPECT_EQ(5u, freed.size());
    EXPECT_EQ(1, list->isEmpty(list));
    EXPECT_EQ(nullptr, list->head);
    EXPECT_EQ(nullptr, list->tail);
    EXPECT_EQ(nullptr, list->cachedNode);
    EXPECT_EQ(0u, list->cachedIndex);
}

TEST_F(List, GetItemAtWalksFromTheCacheAndRefreshesIt)
{
    std::vector<llNode_t *> nodes = fill(10);
    for (uint32_t i = 0; i < 10; i++) {
        EXPECT_EQ(nodes[i], list->getItemAt(list, i));
        EXPECT_EQ(nodes[i], list->cachedNode);
        EXPECT_EQ(i, list->cachedIndex);
    }
    EXPECT_EQ(nodes[2], list->getItemAt(list, 2));   // behind the cache: from the head
    EXPECT_EQ(nodes[7], list->getItemAt(list, 7));
}

TEST_F(List, GetItemAtTheCountReturnsNullAndKeepsTheCache)
{
    std::vector<llNode_t *> nodes = fill(4);
    list->getItemAt(list, 2);
    EXPECT_EQ(nullptr, list->getItemAt(list, 4));
    EXPECT_EQ(nullptr, list->getItemAt(list, UINT32_MAX));
    EXPECT_EQ(nodes[2], list->cachedNode);
    EXPECT_EQ(2u, list->cachedIndex);
}

TEST_F(List, OperationsThatMovePositionsClearTheCache)
{
    struct Case {
        const char *name;
        void (*op)(LinkedList_t *, std::vector<llNode_t *> &, int *);
        bool cleared;
    };
    const Case cases[] = {
        {"insert at top", [](LinkedList_t *l, std::vector<llNode_t *> &, int *v) { l->insertAtTop(l, &v[20]); },
         true},
        {"insert at bottom", [](LinkedList_t *l, std::vector<llNode_t *> &, int *v) { l->insertAtBottom(l, &v[20]); },
         false},
        {"delete before the cached node", [](LinkedList_t *l, std::vector<llNode_t *> &n, int *) { l->deleteItem(l, n[1]); },
         true},
        {"delete the cached node", [](LinkedList_t *l, std::vector<llNode_t *> &n, int *) { l->deleteItem(l, n[3]); },
         true},
        {"delete after the cached node", [](LinkedList_t *l, std::vector<llNode_t *> &n, int *) { l->deleteItem(l, n[4]); },
         false},
        {"sort", [](LinkedList_t *l, std::vector<llNode_t *> &, int *) { l->sortList(l, byValue, nullptr); }, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        list->deleteAllItems(list);
        std::vector<llNode_t *> nodes = fill(6);
        list->getItemAt(list, 3);
        c.op(list, nodes, values);
        EXPECT_EQ(c.cleared, list->cachedNode == nullptr);
        EXPECT_EQ(c.cleared ? 0u : 3u, list->cachedIndex);
        // Whatever happened, positions still come out right.
        std::vector<int> walked = contents(list);
        for (uint32_t i = 0; i < walked.size(); i++)
            EXPECT_EQ(walked[i], *static_cast<int *>(list->getData(list, list->getItemAt(list, i))));
    }
}

TEST_F(List, SortOrdersTheNodesAndLeavesTheTailOnTheLast)
{
    // passes: the merge passes, worked out by hand (runs halve each pass,
    // unless merged runs happen to join).
    const struct {
        std::vector<int> in;
        int passes;
    } inputs[] = {
        {{}, 0},
        {{4}, 0},
        {{1, 2, 3, 4, 5}, 0},
        {{5, 4, 3, 2, 1}, 3},
        {{2, 1}, 1},
        {{3, 1, 3, 1, 2, 2}, 2},
        {{0, 9, 1, 8, 2, 7, 3, 6, 4, 5}, 3},
        {{7, 7, 7, 7}, 0},
        {{10, 11, 12, 1, 2, 3, 20, 21, 4, 5, 30, 0}, 2},
    };
    for (const auto &[in, passes] : inputs) {
        SCOPED_TRACE(::testing::PrintToString(in));
        list->deleteAllItems(list);
        for (int v : in)
            list->insertAtBottom(list, &values[v]);
        switchCalls = 0;
        list->sortList(list, byValue, nullptr);
        EXPECT_EQ(passes, switchCalls) << "SwitchProcess(0) once per merge pass";
        std::vector<int> want = in;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(want, contents(list));
        // A stale tail would drop these from the chain.
        list->insertAtBottom(list, &values[40]);
        list->insertAtBottom(list, &values[41]);
        want.push_back(40);
        want.push_back(41);
        EXPECT_EQ(want, contents(list));
    }
}

TEST_F(List, SortOfALongShuffledList)
{
    int order[64];
    for (int i = 0; i < 64; i++)
        order[i] = (i * 37 + 11) % 64;   // a fixed permutation of 0..63
    for (int v : order)
        list->insertAtBottom(list, &values[v]);
    int calls = 0;
    list->sortList(list, byValue, &calls);
    std::vector<int> want(64);
    for (int i = 0; i < 64; i++)
        want[i] = i;
    EXPECT_EQ(want, contents(list));
    EXPECT_GT(calls, 0);   // the context reaches the compare function
}

TEST(ListInPool, NodesAndListComeFromThePool)
{
    mpPoolInit();
    int pool = mpCreatePool(256, 0);
    ASSERT_GE(pool, 1);
    freed.clear();
    LinkedList_t *list = new_LinkedList(recordFree, pool);
    ASSERT_NE(nullptr, list);
    EXPECT_EQ(pool, list->getMemPool(list));
    int v[3] = {3, 1, 2};
    for (int &x : v)
        list->insertAtBottom(list, &x);
    EXPECT_EQ(8 * ((sizeof(LinkedList_t) + 7) / 8) + 3 * 16, static_cast<size_t>(mpGetEntry(pool)->first->used));
    list->sortList(list, byValue, nullptr);
    EXPECT_EQ((std::vector<int>{1, 2, 3}), contents(list));
    EXPECT_EQ(1, list->deleteItem(list, list->head));
    EXPECT_EQ(1u, freed.size());
    delete_LinkedList(list);   // the pool owns the memory: nothing happens
    EXPECT_EQ(1u, freed.size());
    EXPECT_EQ(0, mpDestroyPool(pool));
    mpDestroyAll();
}

TEST(ListNull, DeleteOfNullDoesNothing) { delete_LinkedList(nullptr); }

} // namespace
