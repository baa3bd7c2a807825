package com.kq.vlx.qxconnect.bridgetests;

import com.kq.vlx.qxconnect.connectivity.ConnectivityAPI;

/**
 * A program that opens one listing and reports on standard error what dirinit returned or
 * raised; its standard output holds only what the bridge writes there.
 * Usage: DirinitProbe ADDRESS PATH
 */
public final class DirinitProbe {
    private DirinitProbe() {
    }

    public static void main(String[] args) {
        ConnectivityAPI api = new ConnectivityAPI();
        api.initAPI();
        try {
            int h = api.dirinit(Simulator.parse(args[0]), args[1]);
            if (h >= 0) api.dirdone(h);
            System.err.println("result " + h);
        } catch (Exception e) {
            System.err.println("raised " + e.getClass().getSimpleName() + " " + e.getMessage());
        }
    }
}
