"""How a parallel run hands tests to its workers.

xdist's own load scheduling sends runs of dozens of consecutive tests to one
worker, so a file of long tests (the slow-reader ones take minutes together)
ends up on a single worker while the others finish and wait. Here a worker
gets one test at a time: the next of the file it is in while that file has
tests left, so a file's module fixtures start once per worker that takes part
in it, and then the first test of the file with the most tests left, so idle
workers join the long files at the end instead of waiting for them.
"""
from collections import deque

from xdist.scheduler import LoadScheduling

# A worker holds the test it runs and the one after it: pytest tears a module's
# fixtures down only once it knows the next test.
AHEAD = 2


def _file_of(nodeid):
    return nodeid.split("::", 1)[0]


class FileAffineScheduling(LoadScheduling):
    def __init__(self, config, log=None):
        super().__init__(config, log)
        self._left = None  # file -> indices of its tests not handed out, in order
        self._file_of_node = {}

    def check_schedule(self, node, duration=0):
        if node.shutting_down:
            return
        if self.pending:
            self._send_tests(node, AHEAD)
        else:
            node.shutdown()

    def _send_tests(self, node, num):
        # xdist's start sends chunks through here too: whatever is asked, a worker holds at most AHEAD tests.
        if self._left is None:
            self._left = {}
            for index in self.pending:
                self._left.setdefault(_file_of(self.collection[index]), deque()).append(index)
        held = self.node2pending[node]
        sent = []
        while len(held) + len(sent) < AHEAD and self._left:
            sent.append(self._take(node))
        if sent:
            held.extend(sent)
            node.send_runtest_some(sent)

    def _take(self, node):
        file = self._file_of_node.get(node)
        if file not in self._left:
            file = max(self._left, key=lambda f: len(self._left[f]))
            self._file_of_node[node] = file
        left = self._left[file]
        index = left.popleft()
        if not left:
            del self._left[file]
        self.pending.remove(index)
        return index

    def _put_back(self, indices):
        for index in reversed(indices):
            self._left.setdefault(_file_of(self.collection[index]), deque()).appendleft(index)

    def mark_test_pending(self, item):
        self._put_back([self.collection.index(item)])
        super().mark_test_pending(item)

    def remove_node(self, node):
        # A worker that crashed: what it held beyond the test it crashed in goes to the others.
        held = self.node2pending.get(node, [])
        if self._left is not None and len(held) > 1:
            self._put_back(held[1:])
        self._file_of_node.pop(node, None)
        return super().remove_node(node)
