import QtQuick

// The last 24 download and upload speeds as two smooth lines over a soft fill. Drawn again only
// when the samples or the colours change.
Canvas {
    id: line
    property var down: []
    property var up: []
    property color downColor: theme.accent
    property color upColor: theme.emerald

    implicitHeight: 96
    renderStrategy: Canvas.Cooperative
    Accessible.role: Accessible.Chart
    Accessible.name: view.texts.throughputTitle

    onDownChanged: requestPaint()
    onUpChanged: requestPaint()
    onDownColorChanged: requestPaint()
    onUpColorChanged: requestPaint()
    onWidthChanged: requestPaint()
    onHeightChanged: requestPaint()

    function trace(ctx, samples, top) {
        const n = samples.length
        if (n < 2) return
        const stepX = width / (n - 1)
        const yOf = (v) => height - 4 - (height - 8) * (v / top)
        ctx.beginPath()
        ctx.moveTo(0, yOf(samples[0]))
        for (let i = 1; i < n; ++i) {
            // A midpoint curve: smooth without overshooting below zero.
            const x0 = (i - 1) * stepX, x1 = i * stepX
            const mx = (x0 + x1) / 2
            ctx.bezierCurveTo(mx, yOf(samples[i - 1]), mx, yOf(samples[i]), x1, yOf(samples[i]))
        }
    }

    onPaint: {
        const ctx = getContext("2d")
        ctx.reset()
        let top = 1
        for (const v of down) top = Math.max(top, v)
        for (const v of up) top = Math.max(top, v)
        top *= 1.15

        ctx.lineWidth = 1
        ctx.strokeStyle = theme.border
        for (let g = 1; g < 4; ++g) {
            ctx.beginPath()
            ctx.moveTo(0, Math.round(height * g / 4) + 0.5)
            ctx.lineTo(width, Math.round(height * g / 4) + 0.5)
            ctx.stroke()
        }

        trace(ctx, down, top)
        ctx.lineTo(width, height)
        ctx.lineTo(0, height)
        ctx.closePath()
        ctx.fillStyle = Qt.rgba(downColor.r, downColor.g, downColor.b, 0.16)
        ctx.fill()

        ctx.lineWidth = 2
        ctx.strokeStyle = downColor
        trace(ctx, down, top)
        ctx.stroke()
        ctx.strokeStyle = upColor
        trace(ctx, up, top)
        ctx.stroke()
    }
}
