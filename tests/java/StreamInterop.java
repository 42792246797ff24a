// Java side of the stream interop test, using only protoc's Java classes and
// protobuf-java's delimited I/O (what a Java producer or receiver would do).
//
//   StreamInterop write <in-order.rays> <shuffled.rays> <expected.pb>
//       builds a volume (two sweeps, two moments), writes it as a ray stream
//       in order and shuffled, and writes the Volume the assembler must make
//       of it, as an InstrumentData.
//   StreamInterop read <stream.rays> <expected.pb>
//       reads a ray stream (the C++ splitter's) and checks it message by
//       message against the stream `write` makes of the expected volume.
import com.google.protobuf.Timestamp;
import com.quandel.larch.protobuf.common.DataBufferOuterClass.DataBuffer;
import com.quandel.larch.protobuf.common.DataDescriptorOuterClass.DataDescriptor;
import com.quandel.larch.protobuf.common.DataDescriptorOuterClass.DataType;
import com.quandel.larch.protobuf.common.DataTypeRequestOuterClass.DataTypeRequest;
import com.quandel.larch.protobuf.common.InstrumentDataOuterClass.InstrumentData;
import com.quandel.larch.protobuf.common.InstrumentOuterClass.Instrument;
import com.quandel.larch.protobuf.common.RayOuterClass.Ray;
import com.quandel.larch.protobuf.common.SectorOuterClass.Sector;
import com.quandel.larch.protobuf.common.SweepConfigOuterClass.SweepConfig;
import com.quandel.larch.protobuf.common.SweepConfigOuterClass.SweepConfigReference;
import com.quandel.larch.protobuf.common.SweepDescriptionOuterClass.SweepDescription;
import com.quandel.larch.protobuf.common.SweepOuterClass.Sweep;
import com.quandel.larch.protobuf.common.Time.TimeSpan;
import com.quandel.larch.protobuf.common.Uuid.UUID;
import com.quandel.larch.protobuf.common.VolumeConfigOuterClass.VolumeConfig;
import com.quandel.larch.protobuf.common.VolumeOuterClass.Volume;
import com.quandel.larch.protobuf.stream.ParameterDataOuterClass.ParameterData;
import com.quandel.larch.protobuf.stream.RayEndOuterClass.RayEnd;
import com.quandel.larch.protobuf.stream.RayHeaderOuterClass.RayHeader;
import com.quandel.larch.protobuf.stream.RayStreamMessageOuterClass.RayStreamMessage;
import com.quandel.larch.protobuf.stream.SweepEndOuterClass.SweepEnd;
import com.quandel.larch.protobuf.stream.SweepHeaderOuterClass.SweepHeader;
import com.quandel.larch.protobuf.stream.VolumeEndOuterClass.VolumeEnd;
import com.quandel.larch.protobuf.stream.VolumeHeaderOuterClass.VolumeHeader;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Random;

public final class StreamInterop {
  private static final int SWEEPS = 2;
  private static final int RAYS = 6;
  private static final int GATES = 5;
  private static final long T0 = 1767225600L;  // 2026-01-01T00:00:00Z
  private static final UUID VOLUME_UUID =
      UUID.newBuilder().setMostSignificantBits(0x0123456789abcdefL)
          .setLeastSignificantBits(-0x1032547698badcf0L).build();

  private static Timestamp time(long seconds) {
    return Timestamp.newBuilder().setSeconds(T0 + seconds).build();
  }

  private static UUID sweepUuid(int sweep) {
    return UUID.newBuilder().setMostSignificantBits(0x5eed0000L + sweep)
        .setLeastSignificantBits(-1 - sweep).build();
  }

  private static DataDescriptor descriptor(DataType type, String name) {
    return DataDescriptor.newBuilder().setType(type).setShortName(name).build();
  }

  // One ray's samples: DBZH as little-endian UINT16, VRADH as big-endian FLOAT.
  private static DataBuffer rayBuffer(String moment, int sweep, int ray) {
    boolean dbz = moment.equals("DBZH");
    ByteBuffer bytes = ByteBuffer.allocate(GATES * (dbz ? 2 : 4))
        .order(dbz ? ByteOrder.LITTLE_ENDIAN : ByteOrder.BIG_ENDIAN);
    for (int gate = 0; gate < GATES; gate++) {
      if (dbz) bytes.putShort((short) (1000 * sweep + 10 * ray + gate + 60000));
      else bytes.putFloat(-7.5f + sweep + 0.25f * ray * gate);
    }
    return DataBuffer.newBuilder()
        .setEndian(dbz ? DataBuffer.Endianness.LITTLE : DataBuffer.Endianness.BIG)
        .setType(dbz ? DataBuffer.StorageType.UINT16 : DataBuffer.StorageType.FLOAT)
        .setCompression(DataBuffer.CompressionType.NONE)
        .setUncompressedSize(bytes.capacity())
        .setData(com.google.protobuf.ByteString.copyFrom(bytes.array())).build();
  }

  private static Ray ray(int sweep, int index) {
    return Ray.newBuilder().setAqStartTime(time(30 * sweep + 2 * index))
        .setIndex(index)
        .setAzRangeDeg(Sector.newBuilder().setStartDeg(60.0 * index).setSpanDeg(60.0))
        .setElRangeDeg(Sector.newBuilder().setStartDeg(sweep == 0 ? 0.5 : 2.0))
        .addNoiseDbm(-110.0 - index).build();
  }

  private static Volume expectedVolume() {
    SweepConfig config = SweepConfig.newBuilder().setType(SweepConfig.SweepType.PPI)
        .putDataMoments("DBZH", descriptor(DataType.REFLECTIVITY_DBZ, "DBZH"))
        .putDataMoments("VRADH", descriptor(DataType.VELOCITY_M_P_S, "VRADH")).build();
    VolumeConfig.Builder volumeConfig =
        VolumeConfig.newBuilder().setName("java interop").addSweepConfig(config);
    Volume.Builder volume = Volume.newBuilder().setUuid(VOLUME_UUID)
        .setInstrument(Instrument.newBuilder().setName("Java radar")
            .setInstrumentType(Instrument.InstrumentType.INSTR_RADAR));
    for (int s = 0; s < SWEEPS; s++) {
      SweepDescription description = SweepDescription.newBuilder()
          .setConfig(SweepConfigReference.newBuilder().setSweepConfigIndex(0))
          .setFixedAngleDeg(s == 0 ? 0.5 : 2.0).build();
      volumeConfig.addSweepDescriptions(description);
      Sweep.Builder sweep = Sweep.newBuilder().setDescription(description).setIndexInTask(s)
          .setInputTimespan(TimeSpan.newBuilder().setStart(time(30 * s)).setEnd(time(30 * s + 20)));
      for (String moment : new String[] {"DBZH", "VRADH"}) {  // map keys in sorted order
        DataBuffer.Builder all = rayBuffer(moment, s, 0).toBuilder();
        for (int r = 1; r < RAYS; r++) all.setData(all.getData().concat(rayBuffer(moment, s, r).getData()));
        sweep.putSweepMoments(moment, all.setUncompressedSize(all.getData().size()).build());
      }
      for (int r = 0; r < RAYS; r++) {
        sweep.addRays(ray(s, r).toBuilder().setAqEndTime(time(30 * s + 2 * r + 2)));
      }
      volume.addSweep(sweep);
    }
    return volume.setVolumeConfig(volumeConfig).build();
  }

  // The stream of `volume`: headers, each ray's pieces, ends.
  private static List<RayStreamMessage> split(Volume volume) {
    List<RayStreamMessage> out = new ArrayList<>();
    out.add(RayStreamMessage.newBuilder().setVolumeHeader(VolumeHeader.newBuilder()
        .setVolumeUuid(VOLUME_UUID).setInstrument(volume.getInstrument())
        .setVolumeConfig(volume.getVolumeConfig()).setStart(time(0))).build());
    for (int s = 0; s < SWEEPS; s++) {
      Sweep sweep = volume.getSweep(s);
      out.add(RayStreamMessage.newBuilder().setSweepHeader(SweepHeader.newBuilder()
          .setSweepUuid(sweepUuid(s)).setVolumeUuid(VOLUME_UUID)
          .setDescription(sweep.getDescription()).setIndexInTask(s)
          .setStart(sweep.getInputTimespan().getStart())).build());
      for (int r = 0; r < RAYS; r++) {
        Ray ray = sweep.getRays(r);
        out.add(RayStreamMessage.newBuilder().setRayHeader(RayHeader.newBuilder()
            .setSweepUuid(sweepUuid(s)).setRayIndex(r).setRay(ray.toBuilder().clearAqEndTime())).build());
        for (String moment : sweep.getSweepMomentsMap().keySet()) {
          out.add(RayStreamMessage.newBuilder().setParameterData(ParameterData.newBuilder()
              .setSweepUuid(sweepUuid(s)).setRayIndex(r).setData(rayBuffer(moment, s, r))
              .setDataType(DataTypeRequest.newBuilder().setShortName(moment).setType(
                  volume.getVolumeConfig().getSweepConfig(0).getDataMomentsOrThrow(moment).getType())))
              .build());
        }
        out.add(RayStreamMessage.newBuilder().setRayEnd(RayEnd.newBuilder()
            .setSweepUuid(sweepUuid(s)).setRayIndex(r).setEnd(ray.getAqEndTime())).build());
      }
      out.add(RayStreamMessage.newBuilder().setSweepEnd(SweepEnd.newBuilder()
          .setSweepUuid(sweepUuid(s)).setEnd(sweep.getInputTimespan().getEnd())).build());
    }
    out.add(RayStreamMessage.newBuilder().setVolumeEnd(VolumeEnd.newBuilder()
        .setVolumeUuid(VOLUME_UUID).setEnd(time(60))).build());
    return out;
  }

  private static void writeStream(List<RayStreamMessage> messages, String path) throws IOException {
    try (OutputStream out = new FileOutputStream(path)) {
      for (RayStreamMessage message : messages) message.writeDelimitedTo(out);
    }
  }

  private static void write(String inOrder, String shuffledPath, String expectedPath) throws IOException {
    Volume volume = expectedVolume();
    List<RayStreamMessage> messages = split(volume);
    writeStream(messages, inOrder);
    // Shuffled: the ray-level messages of both sweeps mixed (a RayEnd may
    // come before its ray's data); the headers stay before them, as a piece
    // needs its container's header, and the ends after them, as a sweep is
    // complete at its SweepEnd once its rays are.
    List<RayStreamMessage> shuffled = new ArrayList<>();
    List<RayStreamMessage> rayLevel = new ArrayList<>();
    List<RayStreamMessage> ends = new ArrayList<>();
    for (RayStreamMessage m : messages) {
      if (m.hasVolumeHeader() || m.hasSweepHeader()) shuffled.add(m);
      else if (m.hasSweepEnd() || m.hasVolumeEnd()) ends.add(m);
      else rayLevel.add(m);
    }
    Collections.shuffle(rayLevel, new Random(20261206L));
    shuffled.addAll(rayLevel);
    shuffled.addAll(ends);
    writeStream(shuffled, shuffledPath);
    Files.write(Paths.get(expectedPath), InstrumentData.newBuilder().setVolume(volume).build().toByteArray());
    System.out.printf("wrote %d messages%n", messages.size());
  }

  private static void check(boolean ok, String what) {
    if (!ok) throw new IllegalStateException("stream differs from the expected one: " + what);
  }

  // The C++ splitter's message as split() writes it. They differ only where
  // the Volume has no field for what the stream carries: the splitter
  // derives sweep UUIDs from the volume's, leaves VolumeHeader.start and
  // VolumeEnd.end unset, and keeps the ray's aq_end_time in its RayHeader.
  private static RayStreamMessage asWritten(RayStreamMessage m, List<UUID> sweeps) {
    RayStreamMessage.Builder b = m.toBuilder();
    switch (m.getPayloadCase()) {
      case VOLUME_HEADER:
        b.getVolumeHeaderBuilder().setStart(time(0));
        break;
      case SWEEP_HEADER:
        b.getSweepHeaderBuilder().setSweepUuid(sweepUuid(sweeps.size() - 1));
        break;
      case RAY_HEADER:
        b.getRayHeaderBuilder().setSweepUuid(sweepUuid(sweeps.indexOf(m.getRayHeader().getSweepUuid())))
            .getRayBuilder().clearAqEndTime();
        break;
      case PARAMETER_DATA:
        b.getParameterDataBuilder()
            .setSweepUuid(sweepUuid(sweeps.indexOf(m.getParameterData().getSweepUuid())));
        break;
      case RAY_END:
        b.getRayEndBuilder().setSweepUuid(sweepUuid(sweeps.indexOf(m.getRayEnd().getSweepUuid())));
        break;
      case SWEEP_END:
        b.getSweepEndBuilder().setSweepUuid(sweepUuid(sweeps.indexOf(m.getSweepEnd().getSweepUuid())));
        break;
      case VOLUME_END:
        b.getVolumeEndBuilder().setEnd(time(60));
        break;
      default:
        check(false, "a message without payload");
    }
    return b.build();
  }

  private static void read(String streamPath, String expectedPath) throws IOException {
    Volume volume = InstrumentData.parseFrom(Files.readAllBytes(Paths.get(expectedPath))).getVolume();
    List<RayStreamMessage> want = split(volume);
    List<UUID> sweeps = new ArrayList<>();
    int count = 0;
    try (InputStream in = new FileInputStream(streamPath)) {
      RayStreamMessage m;
      while ((m = RayStreamMessage.parseDelimitedFrom(in)) != null) {
        if (m.hasSweepHeader()) sweeps.add(m.getSweepHeader().getSweepUuid());
        RayStreamMessage got = asWritten(m, sweeps);
        check(count < want.size() && got.equals(want.get(count)), "message " + count + ":\n" + got);
        count++;
      }
    }
    check(count == want.size(), count + " messages instead of " + want.size());
    System.out.printf("read %d messages, each as expected%n", count);
  }

  public static void main(String[] args) throws IOException {
    if (args.length == 4 && args[0].equals("write")) {
      write(args[1], args[2], args[3]);
    } else if (args.length == 3 && args[0].equals("read")) {
      read(args[1], args[2]);
    } else {
      System.err.println("usage: StreamInterop write <in-order> <shuffled> <expected.pb> | read <stream> <expected.pb>");
      System.exit(2);
    }
  }
}
