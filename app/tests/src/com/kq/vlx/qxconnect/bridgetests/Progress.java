package com.kq.vlx.qxconnect.bridgetests;

import java.util.ArrayList;
import java.util.List;
import java.util.function.IntUnaryOperator;

/**
 * The progress listener of a test: records every percentage that reaches sendCallBack and
 * asks to stop after a given number of calls, or throws on a given call.
 */
public final class Progress implements IntUnaryOperator {
    private final List<Integer> values = new ArrayList<>();
    private int stopAfter = -1;
    private int throwAfter = -1;

    /** Answer "stop" from the n-th call on (1 = the first). */
    public Progress stopAfter(int calls) {
        this.stopAfter = calls;
        return this;
    }

    /** Throw an IllegalStateException on the n-th call. */
    public Progress throwAfter(int calls) {
        this.throwAfter = calls;
        return this;
    }

    @Override
    public synchronized int applyAsInt(int percent) {
        values.add(percent);
        if (throwAfter > 0 && values.size() == throwAfter) throw new IllegalStateException("listener failed at " + percent);
        return stopAfter > 0 && values.size() >= stopAfter ? 1 : 0;
    }

    public synchronized List<Integer> values() {
        return new ArrayList<>(values);
    }

    public synchronized int last() {
        return values.isEmpty() ? Integer.MIN_VALUE : values.get(values.size() - 1);
    }

    public synchronized void clear() {
        values.clear();
    }
}
