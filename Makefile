# Front door of the Lumivane build.
#   make run       build (Release) and start the application
#   make test      build (RelWithDebInfo) and run every test
#   make sanitize  the tests under AddressSanitizer and UBSan
#   make tsan      the threaded tests under ThreadSanitizer (not in CI)
#   make sweeps    every failure point of the allocation sweeps, sanitized (not in CI)
#   make bench     build (Release) and run the benchmarks: README.md, "Benchmarks"
#   make deps      install the Debian packages the project needs

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# The alignment benchmark's selection on the generated network log with its
# SMB2 commands: the events of 3110 traces but their TCP and UDP lines and
# four commands, 3110 distinct sequences of at most 52 glyphs over 18 names.
ALIGN_CONDITION = tcp.stream < 3110 && _ws.col.Protocol != "TCP" && _ws.col.Protocol != "UDP" \
  && smb2.cmd != 15 && smb2.cmd != 16 && smb2.cmd != 17 && smb2.cmd != 18
CMAKE ?= cmake
TEST_ENV = QT_QPA_PLATFORM=offscreen TZ=UTC LC_ALL=C.UTF-8
DEPS_STAMP = build/.deps-ok

.PHONY: all deps run build test sanitize sweeps tsan bench clean

all: build

deps:
	./tools/deps.sh

$(DEPS_STAMP):
	./tools/deps.sh
	mkdir -p build && touch $@

build: $(DEPS_STAMP)
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build -j $(JOBS)

test: build
	cd build && $(TEST_ENV) ctest --output-on-failure -j $(JOBS)

build-release/.configured: $(DEPS_STAMP)
	$(CMAKE) -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DLUMIVANE_BENCH=ON
	touch $@

run: build-release/.configured
	$(CMAKE) --build build-release -j $(JOBS) --target lumivane
	./build-release/src/lumivane

sanitize: $(DEPS_STAMP)
	$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DLUMIVANE_SANITIZE=address
	$(CMAKE) --build build-asan -j $(JOBS)
	cd build-asan && $(TEST_ENV) ctest --output-on-failure -j $(JOBS)

# CTest samples the allocation sweeps' failure points; this runs all of them.
sweeps: $(DEPS_STAMP)
	$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DLUMIVANE_SANITIZE=address
	$(CMAKE) --build build-asan -j $(JOBS) --target test_alloc
	cd build-asan && $(TEST_ENV) SWEEP_ALL=1 ctest --output-on-failure -j $(JOBS) -L alloc

tsan: $(DEPS_STAMP)
	$(CMAKE) -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DLUMIVANE_SANITIZE=thread
	$(CMAKE) --build build-tsan -j $(JOBS)
	cd build-tsan && $(TEST_ENV) ctest --output-on-failure -j $(JOBS) -L threads

bench: build-release/.configured
	./tools/deps.sh bench
	$(CMAKE) --build build-release -j $(JOBS)
	@for b in build-release/bench/bench_*; do \
	  [ -f "$$b" ] && [ -x "$$b" ] || continue; \
	  echo "== $$b"; \
	  $(TEST_ENV) "$$b" || exit 1; \
	done
	@$(TEST_ENV) /usr/bin/python3 tools/import_vs_pandas.py build-release/bench
	@if [ "$${BENCH_LARGE:-1}" = 0 ]; then \
	  echo "== reload_once skipped (BENCH_LARGE=0)"; \
	else \
	  big=$$(build-release/bench/gen_log --shape project --lines 3200000) && [ -n "$$big" ] && \
	  small=$$(build-release/bench/gen_log --shape project --lines 800000) && [ -n "$$small" ] && \
	  echo "== reload_once: a 3.2-million-line log replaced by an 800000-line one" && \
	  $(TEST_ENV) build-release/bench/reload_once "$$big" "$$small" ip.src || exit 1; \
	fi
	@log=$$(build-release/bench/gen_log --shape network --lines 800000) || exit 1; \
	echo "== select_once $$log tcp.stream"; \
	for run in 1 2 3; do \
	  $(TEST_ENV) build-release/bench/select_once "$$log" tcp.stream || exit 1; \
	done
	@net=$$(build-release/bench/gen_log --shape network --lines 800000 --groups 20000) || exit 1; \
	project=$$(build-release/bench/gen_log --shape project --lines 800000) || exit 1; \
	echo "== load_stall $$net tcp.stream"; \
	for run in 1 2 3; do \
	  $(TEST_ENV) build-release/bench/load_stall "$$net" tcp.stream || exit 1; \
	done; \
	echo "== load_stall $$project ip.src"; \
	for run in 1 2 3; do \
	  $(TEST_ENV) build-release/bench/load_stall "$$project" ip.src || exit 1; \
	done
	@net=$$(build-release/bench/gen_log --shape network --lines 800000 --groups 20000) || exit 1; \
	capture=$${TMPDIR:-/tmp}/lumivane_bench_smb2_sessions.pcap; \
	TZ=UTC text2pcap -q -t '%Y-%m-%d %H:%M:%S.%f' tests/data/capture/smb2_session.hex "$$capture.one" || exit 1; \
	mergecap -a -w "$$capture" $$(for i in $$(seq 20); do echo "$$capture.one"; done) || exit 1; \
	rm -f "$$capture.one"; \
	for action in group:_ws.col.Protocol ungroup:_ws.col.Protocol stack unstack \
	    'find:_ws.col.Protocol == "SMB2"' rule:bench/network_rules.kolm "discover:$$capture" pane selectpane; do \
	  echo "== action_stall $$net tcp.stream $$action"; \
	  for run in 1 2 3; do \
	    $(TEST_ENV) build-release/bench/action_stall "$$net" tcp.stream "$$action" || exit 1; \
	  done; \
	done
	@smb2=$$(build-release/bench/gen_log --shape network --lines 800000 --groups 20000 --smb2 1) || exit 1; \
	echo "== action_stall $$smb2 tcp.stream rule:bench/network_rules_25.kolm"; \
	for run in 1 2 3; do \
	  $(TEST_ENV) build-release/bench/action_stall "$$smb2" tcp.stream rule:bench/network_rules_25.kolm || exit 1; \
	done
	@smb2=$$(build-release/bench/gen_log --shape network --lines 800000 --groups 20000 --smb2 1) || exit 1; \
	before=rules:bench/network_rules_25.kolm,select,pane; \
	for action in group:_ws.col.Protocol glyphsize:frame.len stack; do \
	  echo "== ACTION_STALL_BEFORE=$$before action_stall $$smb2 tcp.stream $$action"; \
	  for run in 1 2 3; do \
	    $(TEST_ENV) ACTION_STALL_BEFORE=$$before build-release/bench/action_stall "$$smb2" tcp.stream "$$action" || exit 1; \
	  done; \
	done
	@net=$$(build-release/bench/gen_log --shape network --lines 800000 --groups 20000) || exit 1; \
	sip=$$(build-release/bench/gen_log --shape network --lines 800000 --groups 20000 --sip 1) || exit 1; \
	echo "== action_stall $$net tcp.stream export:$$sip"; \
	for run in 1 2 3; do \
	  $(TEST_ENV) build-release/bench/action_stall "$$net" tcp.stream "export:$$sip" || exit 1; \
	done
	@net=$$(build-release/bench/gen_log --shape network --lines 800000 --groups 20000 --smb2 1) || exit 1; \
	fasta=$${TMPDIR:-/tmp}/lumivane_bench_align.fa; \
	for action in 'align:bench/network_rules_25.kolm:$(ALIGN_CONDITION)'; do \
	  echo "== action_stall $$net tcp.stream $$action"; \
	  times=""; \
	  for run in 1 2 3; do \
	    line=$$($(TEST_ENV) ALIGN_FASTA="$$fasta" build-release/bench/action_stall "$$net" tcp.stream "$$action") || exit 1; \
	    echo "$$line"; \
	    times="$$times $$(echo "$$line" | sed -n 's/.*action_ms=\([0-9.]*\).*/\1/p')"; \
	  done; \
	  ms=$$(echo $$times | tr ' ' '\n' | sort -n | sed -n 2p); \
	  echo "== clustalo --threads=1 on the $$(grep -c '>' "$$fasta") sequences it aligned"; \
	  /usr/bin/time -f '%e %M' -o "$$fasta.time" clustalo --threads=1 --force -i "$$fasta" -o "$$fasta.aln" || exit 1; \
	  read secs kb < "$$fasta.time"; \
	  columns=$$(awk '/^>/ { if (n++) exit; next } { c += length($$0) } END { print c }' "$$fasta.aln"); \
	  awk -v ours="$$ms" -v secs="$$secs" -v kb="$$kb" -v columns="$$columns" 'BEGIN { \
	    printf "clustalo_ms=%.1f clustalo_peak_rss_mb=%.0f clustalo_columns=%d median_action_ms=%.1f action_to_clustalo=%.2f\n", \
	      secs * 1000, kb / 1024, columns, ours, ours / (secs * 1000) }'; \
	  rm -f "$$fasta.aln" "$$fasta.time"; \
	done; \
	echo "== action_stall $$net tcp.stream align:bench/network_rules_25.kolm:true (every event)"; \
	for run in 1 2 3; do \
	  $(TEST_ENV) build-release/bench/action_stall "$$net" tcp.stream align:bench/network_rules_25.kolm:true || exit 1; \
	done; \
	echo "== action_stall $$net tcp.stream pane:bench/network_rules_25.kolm (distinct rows)"; \
	for run in 1 2 3; do \
	  $(TEST_ENV) build-release/bench/action_stall "$$net" tcp.stream pane:bench/network_rules_25.kolm || exit 1; \
	done

clean:
	rm -rf build build-release build-asan build-tsan
