// The page side of the browser watcher. The agent runs it in an isolated world of every top-level
// document: the world shares the page's DOM but none of its scripts' globals, so a page can
// neither see nor break it. It tells the agent, through the binding h5redirReport, where each
// <video> is and what the page paints over it, at most once per animation frame and only when
// that changed. The agent calls h5redir.redirect(key, on) when a video's local player starts or
// ends; while it runs, the video here stays paused and muted.
//
// Nothing is polled: scrolling, resizing, layout, DOM and style changes, media events and running
// animations all schedule the next report.
(() => {
    "use strict";
    if (window !== window.top || globalThis.h5redir)
        return;
    const report = globalThis.h5redirReport;
    const doc = Math.random().toString(36).slice(2, 10);

    // Hit-test spacing in CSS pixels: every element at least this wide and high holds a sample.
    const step = 16;
    const replaced = new Set(["img", "canvas", "video", "iframe", "embed", "object", "input",
        "select", "textarea", "button", "svg", "audio", "meter", "progress"]);

    const keys = new WeakMap(); // video element -> key
    const byKey = new Map(); // key -> video element, for redirect()
    // key -> the video whose local player runs, and what the page wants of it meanwhile
    const held = new Map();
    const epochs = new WeakMap(); // video -> count of seeks, rate and play state changes
    const scanned = new WeakMap(); // video -> the elements the last scan found painted over it
    let scanStart = -Infinity;
    let scanCost = 0;
    let rescan = 0;
    let counter = 0;
    let scheduled = false;
    let animating = false;
    let last = "";
    const videos = document.getElementsByTagName("video");

    const round = (v) => Math.round(v * 100) / 100;
    const rect = (l, t, r, b) => ({ l, t, r, b });
    const fromDom = (d) => rect(d.left, d.top, d.right, d.bottom);
    const intersect = (a, b) =>
        rect(Math.max(a.l, b.l), Math.max(a.t, b.t), Math.min(a.r, b.r), Math.min(a.b, b.b));
    const empty = (a) => a.r <= a.l || a.b <= a.t;
    const inside = (a, x, y) => x >= a.l && x < a.r && y >= a.t && y < a.b;
    const wire = (a) => [round(a.l), round(a.t), round(a.r - a.l), round(a.b - a.t)];

    function keyOf(video)
    {
        let key = keys.get(video);
        if (!key) {
            key = doc + ":" + ++counter;
            keys.set(video, key);
            watchVideo(video);
        }
        byKey.set(key, video);
        return key;
    }

    // The content box, inside border and padding. With object-fit the picture may fill less of
    // it, but the local player fits the picture into its window the same way.
    function contentBox(video)
    {
        const box = fromDom(video.getBoundingClientRect());
        const style = getComputedStyle(video);
        const px = (name) => parseFloat(style.getPropertyValue(name)) || 0;
        return rect(box.l + px("border-left-width") + px("padding-left"),
            box.t + px("border-top-width") + px("padding-top"),
            box.r - px("border-right-width") - px("padding-right"),
            box.b - px("border-bottom-width") - px("padding-bottom"));
    }

    // What of the box the viewport and the ancestors that clip their overflow leave on screen.
    // The root and body pass their overflow on to the viewport.
    function visiblePart(video, box)
    {
        const viewport = visualViewport;
        let part = intersect(box, rect(0, 0, viewport.width, viewport.height));
        const ends = [null, document.body, document.documentElement];
        for (let e = video.parentElement; !ends.includes(e); e = e.parentElement) {
            const style = getComputedStyle(e);
            if (style.overflowX === "visible" && style.overflowY === "visible")
                continue;
            const outer = e.getBoundingClientRect();
            const left = outer.left + e.clientLeft;
            const top = outer.top + e.clientTop;
            part = intersect(part, rect(left, top, left + e.clientWidth, top + e.clientHeight));
        }
        return part;
    }

    // Colours come as rgb(r, g, b), rgba(r, g, b, a) when not opaque, or color(space c c c / a).
    const transparent = (color) => color === "transparent"
        || /^rgba\(.*,\s*0(\.0*)?\)$/.test(color) || /\/\s*0(\.0*)?\)$/.test(color);

    // The parts of an element that paint: its whole box for a background or replaced content,
    // else the lines of its own text. Borders, shadows and outlines are not counted.
    function paintedRects(element)
    {
        const style = getComputedStyle(element);
        if (style.visibility !== "visible" || parseFloat(style.opacity) === 0)
            return [];
        if (replaced.has(element.localName) || element instanceof SVGElement
            || style.backgroundImage !== "none" || !transparent(style.backgroundColor))
            return [fromDom(element.getBoundingClientRect())];
        const rects = [];
        const range = document.createRange();
        for (const node of element.childNodes) {
            if (node.nodeType !== Node.TEXT_NODE || !node.data.trim())
                continue;
            range.selectNodeContents(node);
            for (const line of range.getClientRects())
                rects.push(fromDom(line));
        }
        return rects;
    }

    // The page elements painted over the visible part, found by hit-testing a grid. Elements that
    // take no pointer events are invisible to hit-testing; so is everything over a video that
    // takes none itself.
    function scan(video, part)
    {
        const found = new Set();
        const covers = [];
        const seen = new Set();
        // The grid's middles, and the edges, where a header or a sidebar that overlaps the video
        // by less than a step lies.
        const samples = (from, to) => {
            const count = Math.ceil((to - from) / step);
            const middle = (i) => from + ((i + 0.5) * (to - from)) / count;
            return [from + 0.5, ...Array.from({ length: count }, (_, i) => middle(i)), to - 0.5];
        };
        const columns = samples(part.l, part.r);
        for (const y of samples(part.t, part.b)) {
            for (const x of columns) {
                // The topmost element alone costs half the whole stack, and is mostly the video.
                if (covers.some((c) => inside(c, x, y))
                    || document.elementFromPoint(x, y) === video)
                    continue;
                const stack = document.elementsFromPoint(x, y);
                const below = stack.indexOf(video);
                for (let i = 0; i < below; ++i) {
                    if (seen.has(stack[i]))
                        continue;
                    seen.add(stack[i]);
                    const painted = paintedRects(stack[i]);
                    if (painted.length)
                        found.add(stack[i]);
                    covers.push(...painted);
                }
            }
        }
        return found;
    }

    // Where the elements found over a video paint now: between two scans they may have moved, as a
    // fixed header does while the page scrolls, or gone.
    function coversOf(video, part)
    {
        const covers = [];
        for (const element of scanned.get(video) || []) {
            if (!element.isConnected)
                continue;
            for (const painted of paintedRects(element)) {
                const cover = intersect(painted, part);
                if (!empty(cover))
                    covers.push(wire(cover));
            }
        }
        return covers;
    }

    function describe(video, fresh)
    {
        const key = keyOf(video);
        const box = contentBox(video);
        const part = visiblePart(video, box);
        const shown = !empty(part) && !document.hidden;
        if (shown && fresh)
            scanned.set(video, scan(video, part));
        return {
            key,
            src: video.currentSrc,
            stream: video.srcObject !== null,
            playing: held.has(key) ? !held.get(key).paused : !video.paused,
            ready: video.readyState >= HTMLMediaElement.HAVE_FUTURE_DATA,
            epoch: epochs.get(video) || 0,
            box: wire(box),
            view: empty(part) ? [0, 0, 0, 0] : wire(part),
            covers: shown ? coversOf(video, part) : [],
        };
    }

    // The viewport with its scrollbars in device pixels. innerWidth and innerHeight are rounded to
    // CSS pixels, which a zoom makes more than one device pixel; the visual viewport is exact but
    // leaves out the scrollbars, whose thickness is a whole number of device pixels.
    function viewportSize()
    {
        const ratio = devicePixelRatio;
        const exact = (css, inner) =>
            css * ratio + (inner - css < 1 ? 0 : Math.round((inner - css) * ratio));
        return [exact(visualViewport.width, innerWidth), exact(visualViewport.height, innerHeight)];
    }

    function flush()
    {
        scheduled = false;
        // Hit-testing may take a quarter of the page's time at most; in between, the elements the
        // last scan found stand in, and a later report brings what a fresh scan finds.
        const start = performance.now();
        const fresh = start - scanStart >= 3 * scanCost;
        if (fresh) {
            scanStart = start;
        } else if (!rescan) {
            rescan = setTimeout(() => {
                rescan = 0;
                schedule();
            }, scanStart + 3 * scanCost - start);
        }
        const state = {
            doc,
            title: document.title,
            hidden: document.hidden,
            outer: [outerWidth, outerHeight],
            viewport: viewportSize(),
            dpr: devicePixelRatio,
            videos: Array.from(videos, (video) => describe(video, fresh)),
        };
        if (fresh)
            scanCost = performance.now() - start;
        const text = JSON.stringify(state);
        // Playback time moves on in every frame; it only goes out with a change worth reporting,
        // stamped so that the agent can tell where the video is by now.
        if (text === last)
            return;
        last = text;
        state.times = Object.fromEntries(Array.from(videos, (video) => {
            const key = keys.get(video);
            const rate = video.paused || held.has(key) ? 0 : video.playbackRate;
            return [key, [video.currentTime, rate]];
        }));
        state.at = Date.now();
        report(JSON.stringify(state));
        for (const [key, video] of byKey) {
            if (!video.isConnected)
                byKey.delete(key);
        }
    }

    function schedule()
    {
        // A hidden page gets no animation frames.
        if (document.hidden)
            return flush();
        if (!scheduled) {
            scheduled = true;
            requestAnimationFrame(flush);
        }
    }

    // Running animations and transitions move things without any event: follow them frame by
    // frame, in one loop however many start.
    function animate()
    {
        schedule();
        animating = videos.length > 0
            && document.getAnimations().some((animation) => animation.playState === "running");
        if (animating)
            requestAnimationFrame(animate);
    }

    const resized = new ResizeObserver(schedule);
    const crossed = new IntersectionObserver(schedule, { threshold: [0, 0.25, 0.5, 0.75, 1] });

    function watchVideo(video)
    {
        resized.observe(video);
        crossed.observe(video);
        const bump = () => {
            epochs.set(video, (epochs.get(video) || 0) + 1);
            schedule();
        };
        for (const type of ["seeked", "ratechange", "play", "pause", "ended", "emptied"])
            video.addEventListener(type, bump);
        for (const type of ["loadedmetadata", "canplay", "playing", "waiting", "durationchange"])
            video.addEventListener(type, schedule);
        // While the local player runs, what the page asks of this copy is remembered and undone.
        video.addEventListener("play", () => {
            const state = held.get(keys.get(video));
            if (state) {
                state.paused = false;
                video.pause();
            }
        });
        video.addEventListener("volumechange", () => {
            const state = held.get(keys.get(video));
            if (state && !video.muted) {
                state.muted = false;
                video.muted = true;
            }
        });
    }

    for (const type of ["scroll", "resize", "pointerover", "pointerout", "focusin", "focusout",
        "transitionend", "animationend", "animationcancel", "fullscreenchange", "load"])
        window.addEventListener(type, schedule, { capture: true, passive: true });
    for (const type of ["transitionrun", "animationstart"]) {
        window.addEventListener(type, () => animating || animate(),
            { capture: true, passive: true });
    }
    visualViewport.addEventListener("resize", schedule);
    visualViewport.addEventListener("scroll", schedule);
    document.addEventListener("visibilitychange", schedule);
    new MutationObserver(schedule).observe(document, { subtree: true, childList: true,
        attributes: true, characterData: true });
    // Zooming changes devicePixelRatio, which fires no event of its own.
    const watchRatio = () => matchMedia(`(resolution: ${devicePixelRatio}dppx)`)
        .addEventListener("change", () => { watchRatio(); schedule(); }, { once: true });
    watchRatio();
    window.addEventListener("pagehide", () => report(JSON.stringify({ doc, gone: true })));
    window.addEventListener("pageshow", (event) => {
        if (event.persisted) {
            last = "";
            schedule();
        }
    });

    globalThis.h5redir = {
        redirect(key, on)
        {
            const video = byKey.get(key);
            if (on && video && !held.has(key)) {
                held.set(key, { video, paused: video.paused, muted: video.muted });
                video.muted = true;
                video.pause();
            } else if (!on && held.has(key)) {
                const state = held.get(key);
                held.delete(key);
                state.video.muted = state.muted;
                if (!state.paused)
                    state.video.play().catch(() => {});
            }
        },
    };
    animate();
})();
