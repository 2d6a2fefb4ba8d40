// jLHA's -lh1- decoder run in-process on a raw LZHUF stream, for the codec benchmark and
// for the test that decodes the fast and best levels' streams with other decoders.
//
//   java -cp jlha.jar:DIR JlhaDecode decode PACKED SIZE OUT
//       writes the SIZE bytes the stream decodes to into OUT
//   java -cp jlha.jar:DIR JlhaDecode bench PACKED ORIGINAL ROUNDS
//       decodes the stream until the JIT has compiled the decoder, then ROUNDS more times,
//       timing each by the thread's CPU time; prints the best MB/s (10^6 bytes of output per
//       CPU second) and whether the output equals ORIGINAL
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
    static final int WARM_UP_ROUNDS = 3;

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
        for (int k = 0; k < WARM_UP_ROUNDS; ++k) {
            decode(packed, original.length);
        }
        double best = 0;
        boolean same = true;
        for (int k = 0; k < rounds; ++k) {
            long start = threads.getCurrentThreadCpuTime();
            byte[] out = decode(packed, original.length);
            long nanos = threads.getCurrentThreadCpuTime() - start;
            same = same && Arrays.equals(out, original);
            best = Math.max(best, original.length / 1e6 / (nanos / 1e9));
        }
        System.out.printf("%.1f %s%n", best, same ? "same" : "differs");
    }
}
