// jLHA's -lh1- decoder run in-process on a raw LZHUF stream, for the codec benchmark and
// for the test that decodes the fast and best levels' streams with other decoders.
//
//   java -cp jlha.jar:DIR JlhaDecode decode PACKED SIZE OUT
//       writes the SIZE bytes the stream decodes to into OUT
//   java -cp jlha.jar:DIR JlhaDecode bench PACKED ORIGINAL ROUNDS
//       decodes the stream until the JIT has finished compiling the decoder, then times
//       ROUNDS rounds by the thread's CPU time, each of as many decodes as fill a quarter of
//       a second; prints the best MB/s (10^6 bytes of output per CPU second) and whether
//       the outputs checked (every warm-up decode's, each round's last) equalled ORIGINAL
//
// HotSpot compiles the decoder in tiers and reaches its last one late: on 16 MiB of DLLs
// the fourth to sixth decode, on 8 MiB of text the twelfth or later, on a 129 KB stream
// after about a hundred decodes, each tier 20 to 100 % faster than the one before. So
// the warm-up is counted in CPU time and in decodes, and both with room to spare.
import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.Arrays;

import jp.gr.java_conf.dangan.util.lha.LzssInputStream;
import jp.gr.java_conf.dangan.util.lha.PreLh1Decoder;

public class JlhaDecode {
    static final int WARM_UP_DECODES = 40;
    static final long WARM_UP_NANOS = 8_000_000_000L;
    static final long ROUND_NANOS = 250_000_000L;

    static byte[] decode(byte[] packed, int size) throws IOException {
        LzssInputStream in = new LzssInputStream(new PreLh1Decoder(new ByteArrayInputStream(packed)), size);
        byte[] out = new byte[size];
        int total = 0;
        while (total < size) {
            int n = in.read(out, total, size - total);
            if (n <= 0) {
                break;
            }
            total += n;
        }
        in.close();
        return total == size ? out : Arrays.copyOf(out, total);
    }

    public static void main(String[] args) throws Exception {
        byte[] packed = Files.readAllBytes(Paths.get(args[1]));
        if (args[0].equals("decode")) {
            Files.write(Paths.get(args[3]), decode(packed, Integer.parseInt(args[2])));
            return;
        }
        byte[] original = Files.readAllBytes(Paths.get(args[2]));
        int rounds = Integer.parseInt(args[3]);
        ThreadMXBean threads = ManagementFactory.getThreadMXBean();
        boolean same = true;
        long warmUpStart = threads.getCurrentThreadCpuTime();
        for (int k = 0; k < WARM_UP_DECODES
                || threads.getCurrentThreadCpuTime() - warmUpStart < WARM_UP_NANOS; ++k) {
            same = same && Arrays.equals(decode(packed, original.length), original);
        }
        double best = 0;
        for (int k = 0; k < rounds; ++k) {
            long start = threads.getCurrentThreadCpuTime();
            long nanos = 0;
            int decodes = 0;
            byte[] out = null;
            while (nanos < ROUND_NANOS) {
                out = decode(packed, original.length);
                ++decodes;
                nanos = threads.getCurrentThreadCpuTime() - start;
            }
            same = same && Arrays.equals(out, original);
            best = Math.max(best, (double) decodes * original.length / 1e6 / (nanos / 1e9));
        }
        System.out.printf("%.1f %s%n", best, same ? "same" : "differs");
    }
}
